#pragma once
// The narrow face of the engine that the window uses. The window draws from
// snapshots and calls these operations only, so tests can drive it with a
// scripted engine and the real one stays behind one adapter.

#include <filesystem>
#include <functional>
#include <memory>

#include "engine/analysis_engine.h"

namespace quellmark {

class EnginePort {
public:
    virtual ~EnginePort() = default;
    /// Every published field now. Main thread.
    virtual EngineSnapshot snapshot() const = 0;
    /// Launches a run; ignored while one runs. Main thread; returns at once.
    virtual void start(std::filesystem::path folder, AppSettings settings) = 0;
    /// Requests cancellation of the current run. Main thread.
    virtual void cancel() = 0;
    /// Makes errorMessage absent. Main thread.
    virtual void clearErrorMessage() = 0;
    /// `onChange` is called on the main thread after every published change,
    /// until the port is destroyed.
    virtual void observe(std::function<void()> onChange) = 0;
};

/// The port over a real engine. Stops observing when destroyed; the engine
/// itself lives on while a run holds it.
std::unique_ptr<EnginePort> makeEnginePort(std::shared_ptr<AnalysisEngine> engine);

}  // namespace quellmark
