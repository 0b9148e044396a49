#include "engine/analysis_engine.h"

#include <gtest/gtest.h>

#include "engine_run_support.h"

namespace quellmark {
namespace {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;

TEST(AnalysisEngine, RemainingTimeOnlyWhileSomeButNotAllFilesAreDone) {
    const struct {
        State state;
        std::int64_t processed, total;
        bool started;
        std::optional<double> expected;
    } cases[] = {
        {State::running, 20, 100, true, 400.0},  // 100 s for 20 files, 80 to go
        {State::running, 0, 10, true, std::nullopt}, {State::running, 10, 10, true, std::nullopt},
        {State::cancelled, 5, 10, true, std::nullopt}};
    for (const auto& c : cases) {
        const auto startedAt = c.started ? std::optional<TimePoint>(TimePoint{}) : std::nullopt;
        EXPECT_EQ(remainingSecondsEstimate(c.state, c.processed, c.total, startedAt, TimePoint{} + 100s), c.expected)
            << c.processed << "/" << c.total;
    }
}

TEST(AnalysisEngine, AutomaticParallelismIsTheUsableProcessorsWithinOneToEight) {
    for (auto [usable, expected] : {std::pair{-2, 1}, {4, 4}, {12, 8}}) EXPECT_EQ(boundedProcessorCount(usable), expected);
    for (auto [parallelism, expected] : {std::pair{std::optional<std::int64_t>(), automaticParallelism()},
                                         {std::optional<std::int64_t>(0), automaticParallelism()}, {1000, 1000}}) {
        AppSettings settings;
        settings.parallelism = parallelism;
        EXPECT_EQ(parallelismLimit(settings), expected);
    }
}

// The run holds the engine: the last outside reference may go while it runs.
TEST(AnalysisEngine, MayBeDroppedWhileARunIsInFlight) {
    TempDir dir;
    writeFakeAudio(dir / "a.mp3", "ffmpeg_delay=0.3\n");
    writeFakeAudio(dir / "b.mp3");
    auto queue = std::make_shared<SerialQueue>();
    auto engine = AnalysisEngine::create(queue);
    const std::weak_ptr<AnalysisEngine> weak = engine;
    auto ended = std::make_shared<bool>(false);
    engine->addObserver([raw = engine.get(), &engine, ended] {
        if (raw->snapshot().currentFileName == "a.mp3") engine.reset();
        *ended = raw->snapshot().state != State::running;
    });
    engine->start(dir.path(), fakeToolSettings());
    queue->serveUntil([&] { return *ended; });
    EXPECT_TRUE(expires(weak));
    EXPECT_EQ(csvPaths(dir / "volume_gains.csv"), (Names{"a.mp3", "b.mp3"}));
}

}  // namespace
}  // namespace quellmark
