#include "engine/analysis_engine.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>

#include "engine_run_support.h"
#include "support/scoped_env.h"

namespace quellmark {
namespace {

// One line per published change: state, counts, file, and whether the
// output location and the message are present.
Names describe(const std::vector<EngineSnapshot>& snapshots) {
    static const char* const kStates[] = {"idle", "running", "finished", "cancelled"};
    Names lines;
    for (const auto& s : snapshots) {
        std::ostringstream out;
        out << kStates[static_cast<int>(s.state)] << " " << s.totalCount << "/" << s.processedCount << "/"
            << s.errorCount << " '" << s.currentFileName << "'" << (s.outputURL ? " url" : "")
            << (s.errorMessage ? " msg" : "");
        lines.push_back(out.str());
    }
    return lines;
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

TEST_F(BatchRunTest, PublishesEveryChangeOfARunInOrder) {
    writeFile(dir / "notes/notes.txt", "x");
    const struct {
        fs::path folder;
        Names expected;
        std::optional<std::string> message;
    } cases[] = {
        {dir.path(),
         {"running 0/0/0 ''",  // state
          "running 0/0/0 ''",  // startedAt
          "running 2/0/0 ''",  // the scan's count
          "running 2/0/0 'a.mp3'", "running 2/1/0 'a.mp3'", "running 2/1/0 'b.mp3'", "running 2/2/0 'b.mp3'",
          "running 2/2/1 'b.mp3'", "running 2/2/1 'b.mp3' url", "finished 2/2/1 'b.mp3' url"},
         std::nullopt},
        {dir / "notes",
         {"running 0/0/0 ''", "running 0/0/0 ''", "finished 0/0/0 ''", "finished 0/0/0 '' msg"},
         "対象となる音声ファイルが見つかりませんでした。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        EngineHarness fresh;
        fresh.run(c.folder, fakeToolSettings(1));
        EXPECT_EQ(describe(fresh.snapshots), c.expected);
        EXPECT_EQ(fresh.engine().errorMessage(), c.message);
    }
    EXPECT_EQ(csvPaths(dir / "volume_gains.csv"), (Names{"a.mp3", "b.mp3"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "notes"), fs::directory_iterator()), 1);
}

TEST_F(BatchRunTest, AStartResetsWhatTheLastRunLeftAndIsIgnoredWhileRunning) {
    harness.run(dir.path(), fakeToolSettings(1));
    harness.snapshots.clear();
    // Counters and location go at once; the failing scan then sets the message
    // and writes nothing.
    harness.run(dir / "missing", fakeToolSettings(1));
    EXPECT_EQ(harness.engine().errorMessage(), "フォルダを読み取れませんでした: " + (dir / "missing").string());
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_EQ(describe(harness.snapshots),
              (Names{"running 2/2/1 'b.mp3' url", "running 0/2/1 'b.mp3' url", "running 0/0/1 'b.mp3' url",
                     "running 0/0/0 'b.mp3' url", "running 0/0/0 '' url", "running 0/0/0 ''", "running 0/0/0 ''",
                     "running 0/0/0 '' msg", "finished 0/0/0 '' msg"}));
    harness.snapshots.clear();
    ToolLog::reset();
    harness.engine().start(dir.path(), fakeToolSettings(1));
    // The message is gone before the scan.
    EXPECT_EQ(describe(harness.snapshots), (Names{"running 0/0/0 '' msg", "running 0/0/0 ''", "running 0/0/0 ''"}));
    harness.engine().start(dir.path(), fakeToolSettings(1));
    EXPECT_EQ(harness.snapshots.size(), 3u);
    harness.serveUntilEnded();
    EXPECT_EQ(ToolLog::measuredFiles(dir.path()), Names{"b.mp3"});  // a.mp3 is carried over
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
        if (harness.engine().currentFileName() == "f3.mp3") harness.engine().cancel();
    });
    AppSettings settings = fakeToolSettings(1);
    settings.incremental = false;
    harness.run(dir / "run", settings);

    EXPECT_EQ(csvPaths(dir / "run/volume_gains.csv"), (Names{"f1.mp3", "f2.mp3"}));
    EXPECT_EQ(ToolLog::measuredFiles(dir / "run").size(), 3u);
    EXPECT_FALSE(fs::exists(dir / "run/volume_gains.csv.tmp"));
    const Names lines = describe(harness.snapshots);
    EXPECT_EQ(Names(lines.end() - 2, lines.end()),
              (Names{"running 6/2/0 'f3.mp3' url", "cancelled 6/2/0 'f3.mp3' url"}));
}

TEST_F(BatchRunTest, ACancelDuringTheScanStillReplacesTheCSVWithTheHeader) {
    writeFile(dir / "volume_gains.csv", "old\nrow\n");
    AppSettings settings = fakeToolSettings();
    settings.incremental = false;
    harness.engine().start(dir.path(), settings);
    harness.engine().cancel();
    harness.serveUntilEnded();

    EXPECT_EQ(describe(harness.snapshots).back(), "cancelled 2/0/0 '' url");
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
    EXPECT_EQ(describe(harness.snapshots).back(), "finished 2/2/2 'b.mp3' url");
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
        EXPECT_EQ(harness.engine().state(), State::finished);
        EXPECT_TRUE(harness.engine().errorMessage());
    }
    EXPECT_EQ(readFile(dir / "volume_gains.csv"), previousCsv);
    EXPECT_EQ(readFile(dir / "volume_gains.csv.meta.json"), previousMeta);
    EXPECT_TRUE(fs::exists(dir / "volume_gains.csv.tmp"));
    EXPECT_EQ(harness.engine().outputURL(), dir / "fresh/volume_gains.csv");
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
        if (raw->currentFileName() == "a.mp3") engine.reset();
        *ended = raw->state() != State::running;
    });
    engine->start(dir.path(), fakeToolSettings(1));
    queue->serveUntil([&] { return *ended; });
    EXPECT_TRUE(test::expires(weak));
    EXPECT_EQ(csvPaths(dir / "volume_gains.csv").size(), 2u);
}

}  // namespace
}  // namespace quellmark
