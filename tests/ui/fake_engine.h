#pragma once
// A scripted engine for the window tests: the test sets the snapshot and
// publishes it, and reads back what the window asked of the engine.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <functional>
#include <memory>
#include <vector>

#include "ui/engine_port.h"

namespace quellmark::test {

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

}  // namespace quellmark::test
