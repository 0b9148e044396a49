// The window's behaviour over a scripted engine: the settings it stores, the
// start and the cancel, where it finds ffmpeg, a run without ffmpeg, dropped
// and remembered folders; and closing it over the real engine.
#include "ui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QUrl>

#include "settings/defaults_store.h"
#include "ui/elided_label.h"
#include "ui/qt_main_thread.h"
#include "window_fixture.h"

namespace quellmark {
namespace {

using test::waitUntil;

class WindowTest : public test::WindowFixture {
protected:
    void SetUp() override {
        openWindow(m_stored);
        m_window->setSettingsExpanded(true);
    }
    // Off the sliders' half-step grid, and beyond the stepper: a control set from
    // these moves, and must not report the move as an edit.
    const AppSettings m_stored{.targetLUFS = -18.25, .clampDB = 6.75, .parallelism = 64, .ffmpegPath = {}};
};

// Refreshes never write the controls' snapped values back; the user's own
// moves do, on the half-step grid; the path field keeps exactly what is typed.
TEST_F(WindowTest, OnlyTheUsersOwnEditsChangeTheSettings) {
    m_window->refresh();
    m_window->refresh();
    EXPECT_EQ(m_window->settings(), m_stored);
    child<QSlider>("targetSlider")->setValue(-38);
    child<QSlider>("clampSlider")->setValue(3);
    child<QSpinBox>("stepper")->setValue(1);
    child<QSpinBox>("stepper")->stepDown();
    auto* field = child<QLineEdit>("ffmpegPath");
    field->setFocus();
    QTest::keyClicks(field, QStringLiteral(" x"));
    QTest::keyClick(field, Qt::Key_Backspace);
    m_window->refresh();
    EXPECT_EQ(std::tie(m_window->settings().targetLUFS, m_window->settings().clampDB, m_window->settings().parallelism,
                       m_window->settings().ffmpegPath),
              std::make_tuple(-19.0, 1.5, std::optional<std::int64_t>(), std::optional<std::string>(" ")));
}

TEST_F(WindowTest, StartSavesTheSettingsFirst) {
    m_window->toggleRun();
    EXPECT_TRUE(m_engine->starts.empty()) << "no folder, no start";
    m_window->setFolder(std::filesystem::path("/music"));
    child<QCheckBox>("incremental")->setChecked(false);
    std::optional<AppSettings> storedAtStart;
    m_engine->onStart = [&] { storedAtStart = AppSettings::load(DefaultsStore::standard()); };
    m_window->refresh();
    child<QPushButton>("runButton")->click();
    ASSERT_EQ(m_engine->starts.size(), 1u);
    EXPECT_EQ(m_engine->starts[0].first, "/music");
    EXPECT_FALSE(m_engine->starts[0].second.incremental);
    EXPECT_EQ(storedAtStart, m_engine->starts[0].second);
}

class WindowHabitsTest : public test::WindowFixture {
protected:
    bool drop(const std::filesystem::path& path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path.string()))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_window.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_window.get(), &dropped);
        return true;
    }
};

// With no path set, the footer shows what the automatic search finds.
TEST_F(WindowHabitsTest, FooterSearchesForFfmpegWhenNoPathIsSet) {
    const test::ScopedEnv path("PATH", QUELLMARK_TEST_TOOLS_DIR ":/usr/bin:/bin");
    openWindow(AppSettings{});
    const QString status = child<ElidedLabel>("ffmpegStatus")->fullText();
    EXPECT_TRUE(status.startsWith(QStringLiteral("ffmpeg: /"))) << status.toStdString();
}

TEST_F(WindowHabitsTest, CancellingShowsItIsUnderWayUntilTheRunEnds) {
    m_window->setFolder(m_music.path());
    publish(State::running);
    auto* button = child<QPushButton>("runButton");
    button->click();
    m_window->refresh();
    EXPECT_EQ(m_engine->cancels, 1);
    EXPECT_EQ(button->text(), QStringLiteral("キャンセル中…"));
    EXPECT_FALSE(button->isEnabled());
    EXPECT_TRUE(child("cancelBusy")->isVisible());
    child<QAction>("cancelAction")->trigger();
    EXPECT_EQ(m_engine->cancels, 1) << "one request is enough";

    publish(State::cancelled);
    EXPECT_EQ(button->text(), QStringLiteral("解析開始"));
    EXPECT_TRUE(button->isEnabled());
    EXPECT_FALSE(child("cancelBusy")->isVisible());
}

TEST_F(WindowHabitsTest, ARunThatFoundNoFfmpegEndsWithAWarning) {
    auto log = std::make_shared<ResultLog>(-18.0, 12.0);
    for (const char* path : {"a.mp3", "b.mp3"})
        log->append(test::entryOf({path, path, path, "", NAN, NAN, NAN, 0, RowStatus::ffmpegNotFound, 0, 0, true}));
    // A row carried over from the last run was not analysed now: it proves nothing.
    log->append(test::entryOf({"c.mp3", "c.mp3", "c", "", 3, -20, -1, 2, RowStatus::ok, 0, 0, true}, "", RowOrigin::carried));
    m_window->setFolder(m_music.path());
    publish(State::finished, log);
    EXPECT_TRUE(child("completion")->isVisible() && child("runWarning")->isVisible());
    log->append(test::entryOf({"d.mp3", "d.mp3", "d", "", 3, -20, -1, 2, RowStatus::ok, 0, 0, true}));
    publish(State::finished, log);
    EXPECT_FALSE(child("runWarning")->isVisible()) << "one file was measured";
}

TEST_F(WindowHabitsTest, ADroppedFolderIsChosenAndRememberedForTheNextStart) {
    m_window->rememberIn(DefaultsStore::standard());
    test::writeFile(m_music / "Album/01.flac", "x");
    EXPECT_TRUE(drop(m_music / "Album/01.flac"));
    EXPECT_EQ(m_window->folder(), m_music / "Album");
    EXPECT_TRUE(drop(m_music.path()));
    EXPECT_EQ(m_window->folder(), m_music.path());
    EXPECT_FALSE(drop(m_music / "missing"));
    publish(State::running);
    EXPECT_FALSE(drop(m_music / "Album"));
    EXPECT_EQ(m_window->folder(), m_music.path());
    publish(State::finished);
    m_window->resize(700, 640);
    m_window->close();

    MainWindow next(std::make_unique<test::FakeEngine>(m_engine), AppSettings{});
    next.rememberIn(DefaultsStore::standard());
    EXPECT_EQ(next.folder(), m_music.path());
    EXPECT_EQ(next.size(), QSize(700, 640));
    EXPECT_TRUE(m_engine->starts.empty()) << "offered, not run";
}

// The real engine and the stand-in tools: the run's hand-off goes through the
// Qt event loop as in the program, and closing the window must wait for the
// cancelled run instead of destroying what it still uses.
TEST(WindowOverTheEngine, ClosingDuringARunWaitsForTheCancelledRunToFinish) {
    test::TempDir config, music;
    test::ScopedEnv configHome("XDG_CONFIG_HOME", config.path().c_str());
    for (int i = 0; i < 6; ++i) test::writeFile(music / ("s" + std::to_string(i) + ".mp3"), "QMFAKE\nffmpeg_delay=0.5\n");
    const auto engine = AnalysisEngine::create(std::make_shared<QtMainThread>());
    MainWindow window(makeEnginePort(engine), {.parallelism = 1, .ffmpegPath = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg"});
    window.show();
    window.setFolder(music.path());
    window.startRun();
    ASSERT_TRUE(waitUntil([&] { return engine->snapshot().processedCount >= 1; }, 30000));
    EXPECT_FALSE(window.close());
    ASSERT_TRUE(waitUntil([&] { return !window.isVisible(); }, 60000));
    EXPECT_EQ(engine->snapshot().state, State::cancelled);
    EXPECT_EQ(test::readFile(music / "volume_gains.csv").substr(0, 14), "relative_path,");
}

}  // namespace
}  // namespace quellmark
