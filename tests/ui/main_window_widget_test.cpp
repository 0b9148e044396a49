#include "ui/main_window.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <gtest/gtest.h>

#include "settings/defaults_store.h"
#include "support/temp_dir.h"
#include "fake_engine.h"
#include "ui/elided_label.h"

namespace quellmark {
namespace {

using test::FakeEngine;
using test::FakeEngineState;
using test::waitUntil;

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_config.path().native()));
    }
    void TearDown() override { qputenv("XDG_CONFIG_HOME", m_oldConfig); }

    std::unique_ptr<MainWindow> makeWindow(AppSettings settings = {}) {
        auto window = std::make_unique<MainWindow>(std::make_unique<FakeEngine>(m_engine), std::move(settings));
        window->show();
        return window;
    }
    template <typename T>
    static T* child(const MainWindow& window, const char* name) {
        T* found = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    static QString text(const MainWindow& window, const char* name) { return child<QLabel>(window, name)->text(); }
    static bool shown(const MainWindow& window, const char* name) {
        return child<QWidget>(window, name)->isVisibleTo(&window);
    }

    std::shared_ptr<FakeEngineState> m_engine = std::make_shared<FakeEngineState>();
    test::TempDir m_config;
    QByteArray m_oldConfig;
};

TEST_F(WindowTest, ShowsEachEngineState) {
    auto window = makeWindow();
    auto* run = child<QPushButton>(*window, "runButton");
    auto* choose = child<QPushButton>(*window, "chooseFolder");
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quellmark"));
    EXPECT_GE(window->minimumWidth(), 560);
    EXPECT_GE(window->minimumHeight(), 460);
    EXPECT_EQ(child<ElidedLabel>(*window, "folderLabel")->fullText(), QStringLiteral("フォルダが選択されていません"));
    EXPECT_FALSE(run->isEnabled());
    window->setFolder(std::filesystem::path("/music"));
    window->refresh();
    EXPECT_TRUE(run->isEnabled());

    EngineSnapshot running;
    running.state = State::running;
    running.totalCount = 340;
    running.processedCount = 12;
    running.errorCount = 3;
    running.estimatedRemainingSeconds = 125;
    m_engine->publish(running);
    window->refresh();
    EXPECT_EQ(run->text(), QStringLiteral("キャンセル"));
    EXPECT_TRUE(run->isEnabled());
    EXPECT_FALSE(choose->isEnabled());
    EXPECT_FALSE(child<QWidget>(*window, "settingsForm")->isEnabled());
    EXPECT_TRUE(child<QToolButton>(*window, "settingsToggle")->isEnabled());
    EXPECT_TRUE(shown(*window, "errorCount"));
    EXPECT_EQ(text(*window, "remaining"), QStringLiteral("残り約 2分5秒"));
    EXPECT_EQ(child<QProgressBar>(*window, "progress")->value(), 12);

    EngineSnapshot cancelled = running;
    cancelled.state = State::cancelled;
    cancelled.estimatedRemainingSeconds.reset();
    cancelled.errorCount = 0;
    m_engine->publish(cancelled);
    window->refresh();
    EXPECT_EQ(run->text(), QStringLiteral("解析開始"));
    EXPECT_TRUE(choose->isEnabled());
    EXPECT_TRUE(child<QWidget>(*window, "settingsForm")->isEnabled());
    for (const char* gone : {"errorCount", "remaining", "currentFile", "revealButton"}) {
        EXPECT_FALSE(shown(*window, gone)) << gone;
    }
    EXPECT_TRUE(shown(*window, "cancellation"));
}

TEST_F(WindowTest, ControlsNeverWriteSnappedValuesBack) {
    AppSettings stored;
    stored.targetLUFS = -45.25;  // beyond the slider and off its grid
    stored.clampDB = 0.7;
    stored.parallelism = 64;
    auto window = makeWindow(stored);
    window->refresh();
    window->refresh();
    EXPECT_EQ(window->settings(), stored);

    // The user's own moves do write, on the half-step grid.
    window->setSettingsExpanded(true);
    child<QSlider>(*window, "targetSlider")->setValue(-37);
    child<QSlider>(*window, "clampSlider")->setValue(3);
    EXPECT_EQ(window->settings().targetLUFS, -18.5);
    EXPECT_EQ(window->settings().clampDB, 1.5);
    window->refresh();
    EXPECT_EQ(text(*window, "targetValue"), QStringLiteral("-18.5"));
    EXPECT_EQ(text(*window, "stepperLabel"), QStringLiteral("並列数: 64"));

    auto* stepper = child<QSpinBox>(*window, "stepper");
    stepper->setValue(1);
    window->refresh();
    EXPECT_EQ(window->settings().parallelism, 1);
    EXPECT_EQ(text(*window, "stepperLabel"), QStringLiteral("並列数: 1"));
    stepper->stepDown();
    window->refresh();
    EXPECT_EQ(window->settings().parallelism, std::nullopt);
    EXPECT_TRUE(text(*window, "stepperLabel").startsWith(QStringLiteral("並列数: 自動 (")));
}

TEST_F(WindowTest, PathFieldStoresExactlyWhatIsTyped) {
    auto window = makeWindow();
    window->setSettingsExpanded(true);
    auto* field = child<QLineEdit>(*window, "ffmpegPath");
    auto* status = child<ElidedLabel>(*window, "ffmpegStatus");
    field->setFocus();
    QTest::keyClicks(field, QStringLiteral(" "));
    EXPECT_EQ(window->settings().ffmpegPath, std::optional<std::string>(" "));
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ(window->settings().ffmpegPath, std::nullopt);

    const std::string standIn = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg";
    QTest::keyClicks(field, QString::fromStdString(standIn));
    window->refresh();
    EXPECT_EQ(window->settings().ffmpegPath, standIn);
    EXPECT_EQ(status->fullText(), QString::fromStdString("ffmpeg: " + standIn));
    // Typing in the middle keeps the cursor where it is across refreshes.
    field->setCursorPosition(1);
    QTest::keyClicks(field, QStringLiteral("x"));
    window->refresh();
    EXPECT_EQ(field->cursorPosition(), 2);
}

TEST_F(WindowTest, ErrorAlertIsShownOnceAndClearedByEveryDismissal) {
    auto window = makeWindow();
    for (const bool pressOk : {true, false}) {
        SCOPED_TRACE(pressOk ? "OK" : "Escape");
        EngineSnapshot failed;
        failed.state = State::finished;
        failed.errorMessage = "対象となる音声ファイルが見つかりませんでした。";
        const int clearsBefore = m_engine->clears;
        m_engine->publish(failed);
        window->refresh();
        window->refresh();
        const auto boxes = window->findChildren<QMessageBox*>();
        ASSERT_EQ(boxes.size(), 1);
        QMessageBox* box = boxes.first();
        ASSERT_TRUE(waitUntil([&] { return box->isVisible(); }));
        EXPECT_EQ(box->windowTitle(), QStringLiteral("エラー"));
        EXPECT_EQ(box->text(), QString::fromStdString(*failed.errorMessage));
        if (pressOk)
            box->buttons().first()->click();
        else
            QTest::keyClick(box, Qt::Key_Escape);
        EXPECT_EQ(m_engine->clears, clearsBefore + 1);
        EXPECT_FALSE(m_engine->snapshot.errorMessage.has_value());
        window->refresh();
        ASSERT_TRUE(waitUntil([&] { return window->findChildren<QMessageBox*>().isEmpty(); }));
        EXPECT_EQ(m_engine->snapshot.state, State::finished);
    }
}

TEST_F(WindowTest, StartSavesTheSettingsFirstAndNeedsAFolder) {
    auto window = makeWindow();
    const auto settingsFile = m_config.path() / "quellmark" / "quellmark.settings";
    window->toggleRun();
    EXPECT_TRUE(m_engine->starts.empty());
    EXPECT_FALSE(std::filesystem::exists(settingsFile));

    window->setFolder(std::filesystem::path("/music"));
    window->setSettingsExpanded(true);
    child<QSlider>(*window, "targetSlider")->setValue(-46);
    child<QCheckBox>(*window, "incremental")->setChecked(false);
    std::optional<AppSettings> storedAtStart;
    m_engine->onStart = [&] { storedAtStart = AppSettings::load(DefaultsStore::standard()); };
    window->refresh();
    child<QPushButton>(*window, "runButton")->click();
    ASSERT_EQ(m_engine->starts.size(), 1u);
    EXPECT_EQ(m_engine->starts[0].first, "/music");
    EXPECT_EQ(m_engine->starts[0].second.targetLUFS, -23.0);
    EXPECT_FALSE(m_engine->starts[0].second.incremental);
    ASSERT_TRUE(storedAtStart.has_value());
    EXPECT_EQ(*storedAtStart, m_engine->starts[0].second);

    // While running the button cancels; nothing is saved or started again.
    window->refresh();
    child<QPushButton>(*window, "runButton")->click();
    EXPECT_EQ(m_engine->cancels, 1);
    EXPECT_EQ(m_engine->starts.size(), 1u);
}

TEST_F(WindowTest, ClosingDuringARunCancelsAndWaitsForTheEnd) {
    auto window = makeWindow();
    EngineSnapshot running;
    running.state = State::running;
    m_engine->publish(running);
    window->refresh();
    EXPECT_FALSE(window->close());
    EXPECT_EQ(m_engine->cancels, 1);
    EXPECT_TRUE(window->isVisible());
    QTest::qWait(50);
    EXPECT_TRUE(window->isVisible());

    EngineSnapshot cancelled = running;
    cancelled.state = State::cancelled;
    m_engine->publish(cancelled);
    EXPECT_TRUE(waitUntil([&] { return !window->isVisible(); }));
}

TEST_F(WindowTest, ManyChangesInOneFrameGiveOneRefresh) {
    auto window = makeWindow();
    ASSERT_TRUE(waitUntil([&] { return !window->isRefreshPending(); }));
    const long long before = window->refreshCount();
    EngineSnapshot running;
    running.state = State::running;
    running.totalCount = 1000;
    for (int i = 1; i <= 1000; ++i) {
        running.processedCount = i;
        m_engine->publish(running);
    }
    EXPECT_EQ(window->refreshCount(), before);
    ASSERT_TRUE(waitUntil([&] { return !window->isRefreshPending(); }));
    EXPECT_EQ(window->refreshCount(), before + 1);
    EXPECT_EQ(text(*window, "counts"), QStringLiteral("1000 / 1000 件"));
}

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

TEST_F(WindowTest, RevealFallsBackToTheContainingFolder) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    auto window = makeWindow();
    window->revealOutput("/home/u/Mu sik/volume_gains.csv");
    EXPECT_TRUE(waitUntil([&] { return !catcher.urls.isEmpty(); }));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls.first(), QUrl::fromLocalFile(QStringLiteral("/home/u/Mu sik")));
}

TEST_F(WindowTest, LongTextsShortenInTheMiddle) {
    auto window = makeWindow();
    std::string longPath = "/home/user";
    for (int i = 0; i < 30; ++i)
        longPath += "/a-rather-long-folder-name";
    longPath += "/Final Album";
    window->setFolder(std::filesystem::path(longPath));
    window->refresh();
    window->resize(560, 460);
    QCoreApplication::processEvents();
    auto* label = child<ElidedLabel>(*window, "folderLabel");
    const QString shown = label->displayedText();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("/home/"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("Final Album"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026)));
    EXPECT_EQ(window->width(), 560);
    auto* choose = child<QPushButton>(*window, "chooseFolder");
    EXPECT_LE(choose->mapTo(window.get(), QPoint(choose->width(), 0)).x(), window->width() - 20);
}

}  // namespace
}  // namespace quellmark

#include "main_window_widget_test.moc"
