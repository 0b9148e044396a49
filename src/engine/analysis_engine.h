#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/result_log.h"
#include "settings/app_settings.h"

namespace quellmark {

class MainThread;

enum class State { idle, running, finished, cancelled };

/// Every published field at one moment, for a front end to draw from.
struct EngineSnapshot {
    State state = State::idle;
    std::int64_t totalCount = 0;
    std::int64_t processedCount = 0;
    std::int64_t errorCount = 0;
    std::string currentFileName;
    std::optional<std::filesystem::path> outputURL;
    std::optional<std::string> errorMessage;
    std::optional<double> estimatedRemainingSeconds;
    /// The rows of the current or last run as they are written: measured,
    /// failed and carried over. A new run brings a new log; within one run the
    /// log only grows. Null before the first run. Read on the main thread.
    std::shared_ptr<const ResultLog> results;
};

/// The one object through which a front end drives runs and watches them.
/// Every public member is called on the main thread (the thread that serves the
/// engine's MainThread); observers are told there of every published change.
/// A run keeps the engine alive while it runs; destroying the last outside
/// reference during a run neither cancels nor waits for it.
class AnalysisEngine : public std::enable_shared_from_this<AnalysisEngine> {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Observer = std::function<void()>;

    /// `mainThread` must outlive every run. `clock` is for tests.
    static std::shared_ptr<AnalysisEngine> create(std::shared_ptr<MainThread> mainThread,
                                                  Clock clock = std::chrono::steady_clock::now);
    ~AnalysisEngine();

    /// Every published field now, the remaining-time estimate derived for this
    /// moment; the one way to read the engine's state. Cheap: the rows are shared.
    EngineSnapshot snapshot() const;

    /// Resets the published fields and launches a run over `folder` with a copy
    /// of `settings`; ignored while running.
    void start(std::filesystem::path folder, AppSettings settings);
    /// Requests cancellation of the current run; nothing changes until the run
    /// reaches a cancellation point.
    void cancel();
    /// Dismissing the error alert: makes errorMessage absent, nothing else.
    void clearErrorMessage();

    /// Calls `observer` on the main thread after every published change.
    /// Returns an id for removeObserver.
    int addObserver(Observer observer);
    void removeObserver(int id);

    // The state itself is private; see analysis_engine.cpp.
    struct Impl;

private:
    AnalysisEngine(std::shared_ptr<MainThread> mainThread, Clock clock);
    std::unique_ptr<Impl> m_impl;
};

/// The remaining-time estimate: absent unless running with 0 < processed < total
/// and a start time; else elapsed ÷ processed × (total − processed), in that order.
std::optional<double> remainingSecondsEstimate(State state, std::int64_t processed, std::int64_t total,
                                               std::optional<std::chrono::steady_clock::time_point> startedAt,
                                               std::chrono::steady_clock::time_point now);
/// `usableProcessors` limited to 1..8: the automatic parallelism of a machine with that many.
std::int64_t boundedProcessorCount(std::int64_t usableProcessors);
/// The usable processors of this process (sched_getaffinity), limited to 1..8.
std::int64_t automaticParallelism();
/// `parallelism` when it is 1 or more (no upper bound), else automaticParallelism().
std::int64_t parallelismLimit(const AppSettings& settings);

}  // namespace quellmark
