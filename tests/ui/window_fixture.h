#pragma once
// A shown window over a scripted engine, its settings' store and a music
// folder in temporary folders: the fixture of the window's behaviour tests.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "ui/engine_port.h"
#include "ui/main_window.h"

namespace quellmark::test {

/// What the scripted engine shows and what the window asked of it: the test
/// sets the snapshot and publishes it.
struct FakeEngineState {
    EngineSnapshot snapshot;
    std::vector<std::pair<std::filesystem::path, AppSettings>> starts;
    int cancels = 0;
    std::function<void()> onChange;
    std::function<void()> onStart;  ///< runs inside start(), before the fake changes its state

    void publish(EngineSnapshot next) {
        snapshot = std::move(next);
        if (onChange) onChange();
    }
};

class FakeEngine final : public EnginePort {
public:
    explicit FakeEngine(std::shared_ptr<FakeEngineState> state) : m_state(std::move(state)) {}
    EngineSnapshot snapshot() const override { return m_state->snapshot; }
    void start(std::filesystem::path folder, AppSettings settings) override {
        if (m_state->onStart) m_state->onStart();
        m_state->starts.emplace_back(std::move(folder), std::move(settings));
        EngineSnapshot running;
        running.state = State::running;
        m_state->publish(running);
    }
    void cancel() override { ++m_state->cancels; }
    void clearErrorMessage() override {
        EngineSnapshot next = m_state->snapshot;
        next.errorMessage.reset();
        m_state->publish(next);
    }
    void observe(std::function<void()> onChange) override { m_state->onChange = std::move(onChange); }

private:
    std::shared_ptr<FakeEngineState> m_state;
};

/// Serves the event loop until `done()` holds or `timeoutMs` passes; whether it held.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

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
    /// A new window over the same scripted engine, in place of the first.
    void openWindow(const AppSettings& settings) {
        m_window = std::make_unique<MainWindow>(std::make_unique<FakeEngine>(m_engine), settings);
        m_window->show();
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
