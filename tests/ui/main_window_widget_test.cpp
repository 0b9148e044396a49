#include "ui/main_window.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include "settings/defaults_store.h"
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
