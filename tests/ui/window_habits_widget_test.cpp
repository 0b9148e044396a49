// The window's everyday behaviour around a run: where it finds ffmpeg.
#include <gtest/gtest.h>

#include "fake_engine.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "ui/elided_label.h"
#include "ui/main_window.h"

namespace quellmark {
namespace {

class WindowHabitsTest : public ::testing::Test {
protected:
    QString ffmpegStatus() const {
        return m_window->findChild<ElidedLabel*>(QStringLiteral("ffmpegStatus"))->fullText();
    }

    test::TempDir m_config;
    test::ScopedEnv m_configHome{"XDG_CONFIG_HOME", m_config.path().c_str()};
    std::shared_ptr<test::FakeEngineState> m_engine = std::make_shared<test::FakeEngineState>();
    std::unique_ptr<MainWindow> m_window;
};

// With no path set, the footer shows what the automatic search finds.
TEST_F(WindowHabitsTest, FooterSearchesForFfmpegWhenNoPathIsSet) {
    const test::ScopedEnv path("PATH", QUELLMARK_TEST_TOOLS_DIR ":/usr/bin:/bin");
    m_window = std::make_unique<MainWindow>(std::make_unique<test::FakeEngine>(m_engine), AppSettings{});
    m_window->refresh();
    EXPECT_TRUE(ffmpegStatus().startsWith(QStringLiteral("ffmpeg: /"))) << ffmpegStatus().toStdString();
}

}  // namespace
}  // namespace quellmark
