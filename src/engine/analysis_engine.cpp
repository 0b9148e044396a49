#include "engine/analysis_engine.h"

#include <sched.h>

#include <algorithm>
#include <map>
#include <stop_token>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/batch_run.h"
#include "base/job_error.h"
#include "engine/main_thread.h"

namespace quellmark {

namespace {
constexpr std::int64_t kMaxAutomaticParallelism = 8;
}

struct AnalysisEngine::Impl final : RunSink {
    Impl(std::shared_ptr<MainThread> mainThread, Clock clock)
        : mainThread(std::move(mainThread)), clock(std::move(clock)) {}

    std::shared_ptr<MainThread> mainThread;
    Clock clock;

    /// The published fields; the estimate in it is never set, it is derived.
    EngineSnapshot fields;
    std::optional<std::chrono::steady_clock::time_point> startedAt;
    /// The current or last run's cancellation; the run thread itself is detached.
    std::optional<std::stop_source> runningTask;
    /// The current run's rows; the snapshot shares them read-only.
    std::shared_ptr<ResultLog> rows;

    std::map<int, Observer> observers;
    int nextObserverId = 1;

    void notify() {
        // An observer may add or remove observers while being told.
        std::vector<int> ids;
        ids.reserve(observers.size());
        for (const auto& [id, observer] : observers) ids.push_back(id);
        for (int id : ids) {
            auto found = observers.find(id);
            if (found != observers.end()) found->second();
        }
    }

    template <class T, class U>
    void publish(T& field, U&& value) {
        if (field == value) return;
        field = std::forward<U>(value);
        notify();
    }

    void setTotalCount(std::int64_t count) override { publish(fields.totalCount, count); }
    void setCurrentFileName(const std::string& fileName) override { publish(fields.currentFileName, fileName); }
    void addRows(std::span<ResultEntry> entries, bool counted) override {
        for (ResultEntry& entry : entries) {
            if (counted) {
                fields.processedCount += 1;
                if (entry.row->status != RowStatus::ok) fields.errorCount += 1;
            }
            rows->append(std::move(entry));
        }
        if (!entries.empty()) notify();
    }
    void setState(State newState) override { publish(fields.state, newState); }
    void setOutputURL(std::optional<std::filesystem::path> url) override {
        publish(fields.outputURL, std::move(url));
    }
    void setErrorMessage(std::optional<std::string> message) override {
        publish(fields.errorMessage, std::move(message));
    }
};

std::shared_ptr<AnalysisEngine> AnalysisEngine::create(std::shared_ptr<MainThread> mainThread, Clock clock) {
    return std::shared_ptr<AnalysisEngine>(new AnalysisEngine(std::move(mainThread), std::move(clock)));
}

AnalysisEngine::AnalysisEngine(std::shared_ptr<MainThread> mainThread, Clock clock)
    : m_impl(std::make_unique<Impl>(std::move(mainThread), std::move(clock))) {}

// Neither cancels nor waits: a run holds its own reference, so when this runs
// no run of this engine is in flight, possibly on the run's own thread.
AnalysisEngine::~AnalysisEngine() = default;

std::optional<double> remainingSecondsEstimate(State state, std::int64_t processed, std::int64_t total,
                                               std::optional<std::chrono::steady_clock::time_point> startedAt,
                                               std::chrono::steady_clock::time_point now) {
    if (state != State::running) return std::nullopt;
    if (processed < 1 || processed >= total) return std::nullopt;
    if (!startedAt) return std::nullopt;
    const double elapsed = std::chrono::duration<double>(now - *startedAt).count();
    return elapsed / static_cast<double>(processed) * static_cast<double>(total - processed);
}

EngineSnapshot AnalysisEngine::snapshot() const {
    const Impl& d = *m_impl;
    EngineSnapshot snapshot = d.fields;
    snapshot.estimatedRemainingSeconds = remainingSecondsEstimate(snapshot.state, snapshot.processedCount,
                                                                  snapshot.totalCount, d.startedAt, d.clock());
    return snapshot;
}

void AnalysisEngine::start(std::filesystem::path folder, AppSettings settings) {
    Impl& d = *m_impl;
    if (d.fields.state == State::running) return;
    d.publish(d.fields.state, State::running);
    d.publish(d.fields.totalCount, 0);
    d.publish(d.fields.processedCount, 0);
    d.publish(d.fields.errorCount, 0);
    d.publish(d.fields.currentFileName, std::string());
    d.publish(d.fields.errorMessage, std::nullopt);
    d.publish(d.fields.outputURL, std::nullopt);
    d.publish(d.startedAt, d.clock());
    d.rows = std::make_shared<ResultLog>(settings.targetLUFS, settings.clampDB);
    d.publish(d.fields.results, std::shared_ptr<const ResultLog>(d.rows));

    // The thread holds the engine only weakly until it begins: an engine
    // dropped before then runs nothing. Once begun, the run keeps the engine
    // alive until it returns, so the engine may be destroyed on that thread;
    // hence the thread is detached and never joined.
    std::weak_ptr<AnalysisEngine> weak = weak_from_this();
    try {
        std::jthread thread([weak, folder = std::move(folder), settings = std::move(settings)](std::stop_token stop) {
            if (auto self = weak.lock()) runBatch(folder, settings, stop, *self->m_impl->mainThread, *self->m_impl);
        });
        d.runningTask = thread.get_stop_source();
        thread.detach();
    } catch (const std::system_error& e) {
        d.runningTask.reset();
        d.publish(d.fields.errorMessage, Error(e.code()).description());
        d.publish(d.fields.state, State::finished);
    }
}

void AnalysisEngine::cancel() {
    if (m_impl->runningTask) m_impl->runningTask->request_stop();
}

void AnalysisEngine::clearErrorMessage() { m_impl->publish(m_impl->fields.errorMessage, std::nullopt); }

int AnalysisEngine::addObserver(Observer observer) {
    const int id = m_impl->nextObserverId++;
    m_impl->observers.emplace(id, std::move(observer));
    return id;
}

void AnalysisEngine::removeObserver(int id) { m_impl->observers.erase(id); }

std::int64_t boundedProcessorCount(std::int64_t usableProcessors) {
    return std::clamp<std::int64_t>(usableProcessors, 1, kMaxAutomaticParallelism);
}

std::int64_t automaticParallelism() {
    cpu_set_t set;
    CPU_ZERO(&set);
    // More CPUs than a cpu_set_t holds make the call fail; the count of
    // online processors is then the next best answer.
    if (sched_getaffinity(0, sizeof set, &set) == 0) return boundedProcessorCount(CPU_COUNT(&set));
    return boundedProcessorCount(static_cast<std::int64_t>(std::thread::hardware_concurrency()));
}

std::int64_t parallelismLimit(const AppSettings& settings) {
    if (settings.parallelism && *settings.parallelism >= 1) return *settings.parallelism;
    return automaticParallelism();
}

}  // namespace quellmark
