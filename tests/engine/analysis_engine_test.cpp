#include "engine/analysis_engine.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/main_thread.h"

namespace quellmark {
namespace {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;

TEST(AnalysisEngineTest, CancelAndClearDoNothingWithoutARun) {
    auto engine = AnalysisEngine::create(std::make_shared<SerialQueue>());
    int calls = 0;
    engine->addObserver([&] { ++calls; });
    engine->cancel();
    engine->clearErrorMessage();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(engine->snapshot().state, State::idle);
}

TEST(AnalysisEngineTest, EstimatesRemainingTimeOnlyWhileSomeButNotAllFilesAreDone) {
    const struct {
        State state;
        std::int64_t processed, total;
        bool started;
        std::chrono::milliseconds elapsed;
        std::optional<double> expected;
    } cases[] = {
        {State::running, 20, 100, true, 100s, 400.0},
        {State::running, 0, 0, true, 5s, std::nullopt},    // still scanning
        {State::running, 0, 10, true, 5s, std::nullopt},   // nothing done yet
        {State::running, 10, 10, true, 5s, std::nullopt},  // all done
        {State::running, 5, 10, false, 5s, std::nullopt},
        {State::cancelled, 5, 10, true, 5s, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto startedAt = c.started ? std::optional<TimePoint>(TimePoint{}) : std::nullopt;
        EXPECT_EQ(remainingSecondsEstimate(c.state, c.processed, c.total, startedAt, TimePoint{} + c.elapsed), c.expected)
            << c.processed << "/" << c.total;
    }
}

TEST(AnalysisEngineTest, AutomaticParallelismFollowsTheUsableProcessorsWithinOneToEight) {
    const std::pair<std::int64_t, std::int64_t> bounded[] = {{-2, 1}, {4, 4}, {12, 8}};
    for (auto [usable, expected] : bounded) EXPECT_EQ(boundedProcessorCount(usable), expected) << usable;
    const std::int64_t automatic = automaticParallelism();
    const std::pair<std::optional<std::int64_t>, std::int64_t> cases[] = {
        {std::nullopt, automatic}, {0, automatic}, {1000, 1000}};
    for (const auto& [parallelism, expected] : cases) {
        AppSettings settings;
        settings.parallelism = parallelism;
        EXPECT_EQ(parallelismLimit(settings), expected);
    }
}

TEST(SerialQueueTest, RunsEveryCallInOrderOnTheServingThreadAndReturnsOnlyAfterwards) {
    SerialQueue queue;
    queue.serveUntil([] { return true; });  // must not wait for an item
    const auto servingThread = std::this_thread::get_id();
    constexpr int kThreads = 4;
    constexpr int kCallsEach = 200;
    std::vector<int> next(kThreads, 0);  // written only on the serving thread
    int total = 0;
    std::atomic<int> wrong = 0;
    {
        std::vector<std::jthread> callers;
        for (std::size_t t = 0; t < kThreads; ++t) {
            callers.emplace_back([&, t] {
                for (int i = 0; i < kCallsEach; ++i) {
                    queue.runAndWait([&] {
                        wrong += std::this_thread::get_id() != servingThread || next[t]++ != i;
                        ++total;
                    });
                    wrong += next[t] != i + 1;  // the call ran before runAndWait returned
                }
            });
        }
        queue.serveUntil([&] { return total == kThreads * kCallsEach; });
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(queue.drain(), 0);
}

}  // namespace
}  // namespace quellmark
