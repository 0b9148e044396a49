#include "engine/analysis_engine.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <tuple>

#include <gtest/gtest.h>

#include "engine_run_support.h"
#include "support/scoped_env.h"

namespace quellmark {
namespace {

// The state, the counts, the file, and whether the output location and the
// message are present.
std::string describe(const EngineSnapshot& s) {
    static const char* const kStates[] = {"idle", "running", "finished", "cancelled"};
    return std::string(kStates[static_cast<int>(s.state)]) + " " + std::to_string(s.totalCount) + "/" +
           std::to_string(s.processedCount) + "/" + std::to_string(s.errorCount) + " '" + s.currentFileName + "'" +
           (s.outputURL ? " url" : "") + (s.errorMessage ? " msg" : "");
}

class BatchRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ToolLog::reset();
        writeFakeAudio(dir / "a.mp3");
        writeFakeAudio(dir / "b.mp3", "ffmpeg_exit=1\n");
    }
    TempDir dir;
    EngineHarness harness;
};

// The published rows are the CSV's rows, in its order, each failed one with
// its reason; an empty folder ends with its message and writes nothing.
TEST_F(BatchRunTest, PublishesTheWrittenRowsWithTheReasonOfEachFailure) {
    writeFile(dir / "notes/notes.txt", "x");
    harness.run(dir / "notes", fakeToolSettings(1));
    EXPECT_EQ(harness.engine().snapshot().errorMessage, "対象となる音声ファイルが見つかりませんでした。");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "notes"), fs::directory_iterator()), 1);

    harness.run(dir.path(), fakeToolSettings(1));
    const EngineSnapshot done = harness.engine().snapshot();
    EXPECT_EQ(std::tie(done.state, done.totalCount, done.processedCount, done.errorCount),
              std::make_tuple(State::finished, 2, 2, 1));
    EXPECT_FALSE(done.errorMessage);
    ASSERT_TRUE(done.results);
    Names published;
    for (std::size_t i = 0; i < done.results->size(); ++i) {
        const ResultEntry& entry = (*done.results)[i];
        published.push_back(entry.row->relative_path + " " + std::string(statusText(entry.row->status)) + " " +
                            entry.reason);
    }
    EXPECT_EQ(published, (Names{"a.mp3 ok ", "b.mp3 error:decode_failed プロセスが失敗しました (status=1)"}));
    EXPECT_EQ(csvPaths(dir / "volume_gains.csv"), (Names{"a.mp3", "b.mp3"}));
}

// A start clears what the last run left before anything else; a second start
// while running changes nothing.
TEST_F(BatchRunTest, AStartResetsWhatTheLastRunLeftAndIsIgnoredWhileRunning) {
    harness.run(dir.path(), fakeToolSettings(1));
    const auto firstRows = harness.engine().snapshot().results;
    harness.run(dir / "missing", fakeToolSettings(1));
    const EngineSnapshot failed = harness.engine().snapshot();
    EXPECT_EQ(failed.errorMessage, "フォルダを読み取れませんでした: " + (dir / "missing").string());
    EXPECT_EQ(std::tie(failed.processedCount, failed.errorCount, failed.outputURL),
              std::make_tuple(0, 0, std::optional<fs::path>()));
    EXPECT_TRUE(failed.results && failed.results != firstRows && failed.results->empty());
    EXPECT_FALSE(fs::exists(dir / "missing"));

    ToolLog::reset();
    harness.engine().start(dir.path(), fakeToolSettings(1));
    EXPECT_FALSE(harness.engine().snapshot().errorMessage);
    const std::size_t published = harness.snapshots.size();
    harness.engine().start(dir.path(), fakeToolSettings(1));
    EXPECT_EQ(harness.snapshots.size(), published);
    harness.serveUntilEnded();
    EXPECT_EQ(ToolLog::measuredFiles(dir.path()), Names{"b.mp3"});  // a.mp3 is carried over
    const auto rows = harness.engine().snapshot().results;
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0].origin, RowOrigin::carried);
    EXPECT_EQ(csvPaths(dir / "volume_gains.csv"), (Names{"a.mp3", "b.mp3"}));
}

TEST_F(BatchRunTest, NeverHasMoreFilesInFlightThanTheLimitAndAtOneKeepsTheScanOrder) {
    // Each file runs ffprobe and then ffmpeg, so tool runs in flight count files in flight.
    const struct {
        std::int64_t limit;
        Names files;
        int mostInFlight;
    } cases[] = {
        {2, {"1.mp3", "2.mp3", "3.mp3", "4.mp3", "5.mp3"}, 2},
        {8, {"1.mp3", "2.mp3", "3.mp3"}, 3},
        {1, {"A/1.mp3", "A/b/2.mp3", "B.mp3", "c/3.flac", "z.wav"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        TempDir folder;
        for (auto it = c.files.rbegin(); it != c.files.rend(); ++it) writeFakeAudio(folder / *it, "probe_delay=0.3\n");
        ToolLog::reset();
        harness.run(folder.path(), fakeToolSettings(c.limit));
        EXPECT_EQ(ToolLog::maxInFlight(), c.mostInFlight);
        Names measured = ToolLog::measuredFiles(folder.path()), rows = csvPaths(folder / "volume_gains.csv");
        if (c.limit > 1) {
            std::ranges::sort(measured);
            std::ranges::sort(rows);
        }
        EXPECT_EQ(measured, c.files);
        EXPECT_EQ(rows, c.files);
    }
}

TEST_F(BatchRunTest, ACancelWhileAnalysingKeepsOnlyTheRowsWrittenBefore) {
    for (int i = 1; i <= 6; ++i) writeFakeAudio(dir / "run" / ("f" + std::to_string(i) + ".mp3"), "ffmpeg_delay=0.2\n");
    // Cancel once the third file's analysis has begun: it runs to the end,
    // but its row is refused.
    harness.engine().addObserver([&] {
        if (harness.engine().snapshot().currentFileName == "f3.mp3") harness.engine().cancel();
    });
    AppSettings settings = fakeToolSettings(1);
    settings.incremental = false;
    harness.run(dir / "run", settings);

    EXPECT_EQ(csvPaths(dir / "run/volume_gains.csv"), (Names{"f1.mp3", "f2.mp3"}));
    EXPECT_EQ(ToolLog::measuredFiles(dir / "run").size(), 3u);
    EXPECT_FALSE(fs::exists(dir / "run/volume_gains.csv.tmp"));
    EXPECT_EQ(describe(harness.engine().snapshot()), "cancelled 6/2/0 'f3.mp3' url");
}

TEST_F(BatchRunTest, ACancelDuringTheScanStillReplacesTheCSVWithTheHeader) {
    writeFile(dir / "volume_gains.csv", "old\nrow\n");
    AppSettings settings = fakeToolSettings();
    settings.incremental = false;
    harness.engine().start(dir.path(), settings);
    harness.engine().cancel();
    harness.serveUntilEnded();

    EXPECT_EQ(describe(harness.engine().snapshot()), "cancelled 2/0/0 '' url");
    EXPECT_EQ(ToolLog::starts(), 0);
    EXPECT_TRUE(readFile(dir / "volume_gains.csv").starts_with("relative_path,"));
    EXPECT_TRUE(csvPaths(dir / "volume_gains.csv").empty());
}

TEST_F(BatchRunTest, AMissingFfmpegIsAStatusOfEveryRowNotARunFailure) {
    writeFakeAudio(dir / "b.mp3", "title=Tagged\n");
    AppSettings settings = fakeToolSettings(1);
    settings.ffmpegPath = (dir / "nowhere" / "ffmpeg").string();
    // No run is in flight, so the environment may change: without a search
    // path, `which` cannot be found and the tools are nowhere.
    {
        test::ScopedEnv path("PATH", (dir / "empty").c_str());
        harness.run(dir.path(), settings);
    }
    EXPECT_EQ(describe(harness.engine().snapshot()), "finished 2/2/2 'b.mp3' url");
    EXPECT_TRUE(readFile(dir / "volume_gains.csv")
                    .ends_with("\na.mp3,a.mp3,a,,,,,0,error:ffmpeg_not_found,0,0\n"
                               "b.mp3,b.mp3,b,,,,,0,error:ffmpeg_not_found,0,0\n"));
    EXPECT_EQ(readFile(dir / "volume_gains.csv.meta.json"), "{}");
}

// Rows that cannot be written: the file-size limit of the process makes every
// write past the header fail as a full disk would.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limit{bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
    rlimit saved{};
};

TEST_F(BatchRunTest, ARowThatCannotBeWrittenNeverReplacesACompletePreviousCSV) {
    harness.run(dir.path(), fakeToolSettings(1));
    const std::string previousCsv = readFile(dir / "volume_gains.csv");
    const std::string previousMeta = readFile(dir / "volume_gains.csv.meta.json");
    const auto limit = previousCsv.find('\n') + 11;
    writeFakeAudio(dir / "a.mp3", "lufs=-21.5\n");
    writeFakeAudio(dir / "fresh/a.mp3");
    // Without a previous CSV there is nothing to keep: what was written is installed.
    for (const fs::path& folder : {dir.path(), dir / "fresh"}) {
        {
            FileSizeLimit small(limit);
            harness.run(folder, fakeToolSettings(1));
        }
        EXPECT_EQ(harness.engine().snapshot().state, State::finished);
        EXPECT_TRUE(harness.engine().snapshot().errorMessage);
    }
    EXPECT_EQ(readFile(dir / "volume_gains.csv"), previousCsv);
    EXPECT_EQ(readFile(dir / "volume_gains.csv.meta.json"), previousMeta);
    EXPECT_TRUE(fs::exists(dir / "volume_gains.csv.tmp"));
    EXPECT_EQ(harness.engine().snapshot().outputURL, dir / "fresh/volume_gains.csv");
    EXPECT_TRUE(csvPaths(dir / "fresh/volume_gains.csv").empty());
}

TEST_F(BatchRunTest, TheEngineMayBeDroppedWhileARunIsInFlight) {
    writeFakeAudio(dir / "a.mp3", "ffmpeg_delay=0.3\n");
    auto queue = std::make_shared<SerialQueue>();
    auto engine = AnalysisEngine::create(queue);
    std::weak_ptr<AnalysisEngine> weak = engine;
    auto ended = std::make_shared<bool>(false);
    // Let go of the engine once its run has begun (before that, the run would
    // find no engine and do nothing).
    engine->addObserver([raw = engine.get(), &engine, ended] {
        if (raw->snapshot().currentFileName == "a.mp3") engine.reset();
        *ended = raw->snapshot().state != State::running;
    });
    engine->start(dir.path(), fakeToolSettings(1));
    queue->serveUntil([&] { return *ended; });
    EXPECT_TRUE(test::expires(weak));
    EXPECT_EQ(csvPaths(dir / "volume_gains.csv").size(), 2u);
}

}  // namespace
}  // namespace quellmark
