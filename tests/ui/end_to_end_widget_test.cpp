// The real window over the real engine and the stand-in tools: the run's
// hand-off goes through the Qt event loop exactly as in the program.
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "fake_engine.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "ui/main_window.h"
#include "ui/qt_main_thread.h"

namespace quellmark {
namespace {

using test::waitUntil;

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        m_window->show();
        m_window->setFolder(m_music.path());
        m_window->refresh();
    }
    EngineSnapshot engine() const { return m_engine->snapshot(); }

    test::TempDir m_config;
    test::ScopedEnv m_configHome{"XDG_CONFIG_HOME", m_config.path().c_str()};
    test::TempDir m_music;
    const AppSettings m_settings{.parallelism = 1, .ffmpegPath = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg"};
    std::shared_ptr<AnalysisEngine> m_engine = AnalysisEngine::create(std::make_shared<QtMainThread>());
    std::unique_ptr<MainWindow> m_window = std::make_unique<MainWindow>(makeEnginePort(m_engine), m_settings);
};

TEST_F(EndToEnd, RunFromTheButtonWritesTheCsv) {
    test::writeFile(m_music / "a.mp3", "QMFAKE\nlufs=-20.0\n");
    test::writeFile(m_music / "broken.wav", "not audio at all");
    m_window->findChild<QPushButton*>(QStringLiteral("runButton"))->click();
    const auto* completion = m_window->findChild<QLabel*>(QStringLiteral("completion"));
    ASSERT_TRUE(waitUntil([&] { return completion->text() == QStringLiteral("完了: volume_gains.csv に保存しました"); }, 60000))
        << "state " << int(engine().state) << ", message: " << engine().errorMessage.value_or("none");
    EXPECT_EQ(test::readFile(m_music / "volume_gains.csv"), test::readFile(QUELLMARK_TEST_DATA_DIR "/csv-header.txt") +
                                                               "a.mp3,a.mp3,a,,10,-20,-1,2,ok,0,0\n"
                                                               "broken.wav,broken.wav,broken,,,,,0,error:decode_failed,0,0\n");
}

TEST_F(EndToEnd, ClosingDuringARunWaitsForTheCancelledRunToFinish) {
    for (int i = 0; i < 6; ++i) test::writeFile(m_music / ("s" + std::to_string(i) + ".mp3"), "QMFAKE\nffmpeg_delay=0.5\n");
    m_window->startRun();
    ASSERT_TRUE(waitUntil([&] { return engine().processedCount >= 1; }, 30000));
    EXPECT_FALSE(m_window->close());
    ASSERT_TRUE(waitUntil([&] { return !m_window->isVisible(); }, 60000));
    EXPECT_EQ(engine().state, State::cancelled);
    EXPECT_LT(engine().processedCount, 6);
    EXPECT_TRUE(std::filesystem::exists(m_music / "volume_gains.csv"));
}

}  // namespace
}  // namespace quellmark
