// Whole runs of the engine: what they publish, write and start.
#include "engine/analysis_engine.h"

#include <unistd.h>

#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>

#include "engine_run_support.h"
#include "support/scoped_env.h"

namespace quellmark {
namespace {

// The stand-ins log every start and end here; named before any test starts a
// thread, so the environment never changes while children are spawned.
const struct ToolLog {
    fs::path path = fs::temp_directory_path() / ("quellmark-engine-tools-" + std::to_string(::getpid()));
    ToolLog() { ::setenv("QM_FAKE_LOG", path.c_str(), 1); }
    ~ToolLog() { fs::remove(path); }
} kToolLog;

int mostToolsInFlight() {
    int now = 0, most = 0;
    std::istringstream log(readFile(kToolLog.path));
    for (std::string tool, kind, rest; log >> tool >> kind && std::getline(log, rest);) {
        most = std::max(most, now += kind == "start" ? 1 : -1);
    }
    return most;
}

// The state, the counts, the file, and whether the output location and the message are present.
std::string describe(const EngineSnapshot& s) {
    static const char* const kStates[] = {"idle", "running", "finished", "cancelled"};
    return std::string(kStates[static_cast<int>(s.state)]) + " " + std::to_string(s.totalCount) + "/" +
           std::to_string(s.processedCount) + "/" + std::to_string(s.errorCount) + " '" + s.currentFileName + "'" +
           (s.outputURL ? " url" : "") + (s.errorMessage ? " msg" : "");
}

class BatchRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFakeAudio(dir / "a.mp3");
        writeFakeAudio(dir / "b.mp3", "ffmpeg_exit=1\n");
    }
    TempDir dir;
    EngineHarness harness;
};

// A start clears what the last run left, its rows and its message; a second
// start while running changes nothing.
TEST_F(BatchRunTest, AStartResetsWhatTheLastRunLeftAndIsIgnoredWhileRunning) {
    harness.run(dir.path());
    EXPECT_EQ(describe(harness.snapshot()), "finished 2/2/1 'b.mp3' url");
    const auto firstRows = harness.snapshot().results;
    harness.run(dir / "missing");
    const EngineSnapshot failed = harness.snapshot();
    EXPECT_EQ(failed.errorMessage, "フォルダを読み取れませんでした: " + (dir / "missing").string());
    EXPECT_EQ(describe(failed), "finished 0/0/0 '' msg");
    EXPECT_TRUE(failed.results && failed.results != firstRows && failed.results->empty());
    EXPECT_FALSE(fs::exists(dir / "missing"));

    harness.engine().start(dir.path(), fakeToolSettings());
    EXPECT_EQ(describe(harness.snapshot()), "running 0/0/0 ''");
    const int published = harness.changes;
    harness.engine().start(dir.path(), fakeToolSettings());
    EXPECT_EQ(harness.changes, published);
    harness.serveUntilEnded();
    EXPECT_EQ(describe(harness.snapshot()), "finished 2/2/1 'b.mp3' url");
}

TEST_F(BatchRunTest, NeverHasMoreFilesInFlightThanTheLimitAndAtOneKeepsTheScanOrder) {
    // Each file runs ffprobe and then ffmpeg, so tool runs in flight count files in flight.
    const struct { std::int64_t limit; Names files; int mostInFlight; } cases[] = {
        {2, {"1.mp3", "2.mp3", "3.mp3", "4.mp3", "5.mp3"}, 2}, {8, {"1.mp3", "2.mp3", "3.mp3"}, 3},
        {1, {"A/1.mp3", "A/b/2.mp3", "B.mp3", "c/3.flac", "z.wav"}, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        TempDir folder;
        for (auto it = c.files.rbegin(); it != c.files.rend(); ++it) writeFakeAudio(folder / *it, "probe_delay=0.3\n");
        writeFile(kToolLog.path, "");
        harness.run(folder.path(), fakeToolSettings(c.limit));
        EXPECT_EQ(mostToolsInFlight(), c.mostInFlight);
        Names rows = csvPaths(folder / "volume_gains.csv");
        if (c.limit > 1) std::ranges::sort(rows);
        EXPECT_EQ(rows, c.files);
    }
}

// Cancelled as the first row is published, the run starts no tool for the next file.
TEST_F(BatchRunTest, NoToolStartsAfterACancel) {
    harness.engine().addObserver([&] {
        if (harness.snapshot().processedCount == 1) harness.engine().cancel();
    });
    writeFile(kToolLog.path, "");
    harness.run(dir.path(), fakeToolSettings(1, false));
    EXPECT_EQ(describe(harness.snapshot()), "cancelled 2/1/0 'a.mp3' url");
    const std::string log = readFile(kToolLog.path);
    EXPECT_EQ(log.find("ffmpeg start"), log.rfind("ffmpeg start")) << log;
}

TEST_F(BatchRunTest, AMissingFfmpegIsAStatusOfEveryRowNotARunFailure) {
    AppSettings settings = fakeToolSettings();
    settings.ffmpegPath = (dir / "nowhere" / "ffmpeg").string();
    {
        // No run is in flight, so the environment may change: without a search
        // path, `which` cannot be found and the tools are nowhere.
        test::ScopedEnv path("PATH", (dir / "empty").c_str());
        harness.run(dir.path(), settings);
    }
    EXPECT_EQ(describe(harness.snapshot()), "finished 2/2/2 'b.mp3' url");
    EXPECT_TRUE(readFile(dir / "volume_gains.csv")
                    .ends_with("\na.mp3,a.mp3,a,,,,,0,error:ffmpeg_not_found,0,0\n"
                               "b.mp3,b.mp3,b,,,,,0,error:ffmpeg_not_found,0,0\n"));
}

TEST(AnalysisEngine, AutomaticParallelismIsTheUsableProcessorsWithinOneToEight) {
    for (auto [usable, expected] : {std::pair{-2, 1}, {4, 4}, {12, 8}}) EXPECT_EQ(boundedProcessorCount(usable), expected);
    for (auto [parallelism, expected] : {std::pair{std::optional<std::int64_t>(), automaticParallelism()}, {0, automaticParallelism()}, {1000, 1000}}) {
        EXPECT_EQ(parallelismLimit({.parallelism = parallelism, .ffmpegPath = {}}), expected);
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
