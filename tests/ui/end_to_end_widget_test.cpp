// The real window over the real engine and the stand-in tools: the run's
// hand-off goes through the Qt event loop exactly as in the program.
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "fake_engine.h"
#include "settings/defaults_store.h"
#include "support/temp_dir.h"
#include "ui/elided_label.h"
#include "ui/main_window.h"
#include "ui/qt_main_thread.h"

namespace quellmark {
namespace {

using test::waitUntil;

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_config.path().native()));
        m_settings.ffmpegPath = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg";
        m_settings.parallelism = 2;
    }
    void TearDown() override { qputenv("XDG_CONFIG_HOME", m_oldConfig); }

    std::unique_ptr<MainWindow> makeWindow() {
        auto window = std::make_unique<MainWindow>(makeEnginePort(m_engine), m_settings);
        window->show();
        window->setFolder(m_music.path());
        window->refresh();
        return window;
    }
    static QString labelText(const MainWindow& window, const char* name) {
        return window.findChild<QLabel*>(QString::fromLatin1(name))->text();
    }

    test::TempDir m_config;
    test::TempDir m_music;
    QByteArray m_oldConfig;
    AppSettings m_settings;
    std::shared_ptr<AnalysisEngine> m_engine = AnalysisEngine::create(std::make_shared<QtMainThread>());
};

TEST_F(EndToEnd, RunFromTheButtonWritesTheCsv) {
    test::writeFile(m_music / "a.mp3", "QMFAKE\nlufs=-20.0\npeak=-1.0\n");
    test::writeFile(m_music / "Album/b.flac", "QMFAKE\nlufs=-14.5\ntitle=Zwei\n");
    test::writeFile(m_music / "broken.wav", "not audio at all");
    auto window = makeWindow();
    window->findChild<QPushButton*>(QStringLiteral("runButton"))->click();
    ASSERT_TRUE(waitUntil(
        [&] { return labelText(*window, "completion") == QStringLiteral("完了: volume_gains.csv に保存しました"); },
        60000))
        << "state " << int(m_engine->state()) << ", message: " << m_engine->errorMessage().value_or("none");
    EXPECT_EQ(labelText(*window, "counts"), QStringLiteral("3 / 3 件"));
    EXPECT_EQ(labelText(*window, "errorCount"), QStringLiteral("(エラー 1 件)"));
    EXPECT_TRUE(window->findChild<QPushButton*>(QStringLiteral("chooseFolder"))->isEnabled());

    const std::string csv = test::readFile(m_music / "volume_gains.csv");
    EXPECT_NE(csv.find("\nAlbum/b.flac,b.flac,Zwei,,10,-14.5,-1,-3.5,ok,0,0\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\na.mp3,a.mp3,a,,10,-20,-1,2,ok,0,0\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\nbroken.wav,broken.wav,broken,,,,,0,error:decode_failed,0,0"), std::string::npos) << csv;
    // Started runs store the settings they ran with.
    EXPECT_EQ(AppSettings::load(DefaultsStore(m_config / "quellmark")), m_settings);
}

TEST_F(EndToEnd, ClosingDuringARunWaitsForTheCancelledRunToFinish) {
    for (int i = 0; i < 6; ++i) {
        test::writeFile(m_music / ("slow" + std::to_string(i) + ".mp3"), "QMFAKE\nffmpeg_delay=0.5\n");
    }
    auto window = makeWindow();
    window->startRun();
    ASSERT_TRUE(waitUntil([&] { return m_engine->processedCount() >= 1; }, 30000));
    EXPECT_FALSE(window->close());
    ASSERT_TRUE(waitUntil([&] { return !window->isVisible(); }, 60000));
    EXPECT_EQ(m_engine->state(), State::cancelled);
    EXPECT_LT(m_engine->processedCount(), 6);
    EXPECT_TRUE(std::filesystem::exists(m_music / "volume_gains.csv"));
}

}  // namespace
}  // namespace quellmark
