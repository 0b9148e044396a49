#pragma once
// A shown window over a scripted engine, its settings' store and a music
// folder in temporary folders: the fixture of the window's behaviour tests.

#include <gtest/gtest.h>

#include "fake_engine.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "ui/main_window.h"

namespace quellmark::test {

inline ResultEntry entryOf(AnalyzeResult row, std::string reason = {}, RowOrigin origin = RowOrigin::measured) {
    return {std::make_shared<const AnalyzeResult>(std::move(row)), std::move(reason), origin};
}

class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override { m_window->show(); }
    template <typename T = QWidget>
    T* child(const char* name) const {
        return m_window->findChild<T*>(QString::fromLatin1(name));
    }
    /// Publishes a run in `state` with `log` as its rows, its CSV in the music folder.
    void publish(State state, std::shared_ptr<const ResultLog> log = {}) {
        EngineSnapshot snapshot;
        snapshot.state = state;
        snapshot.outputURL = m_music / "volume_gains.csv";
        snapshot.results = std::move(log);
        m_engine->publish(snapshot);
        m_window->refresh();
    }

    TempDir m_config;
    ScopedEnv m_configHome{"XDG_CONFIG_HOME", m_config.path().c_str()};
    TempDir m_music;
    std::shared_ptr<FakeEngineState> m_engine = std::make_shared<FakeEngineState>();
    std::unique_ptr<MainWindow> m_window = std::make_unique<MainWindow>(std::make_unique<FakeEngine>(m_engine), AppSettings{});
};

}  // namespace quellmark::test
