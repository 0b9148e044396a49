#include "engine/analysis_engine.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "engine/main_thread.h"
#include "engine_run_support.h"
#include "output/analyze_result.h"
#include "output/meta_entry.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using test::csvRows;
using test::EngineHarness;
using test::fakeToolSettings;
using test::firstField;
using test::readFile;
using test::TempDir;
using test::ToolLog;
using test::writeFakeAudio;

const char* const kNoFiles = "対象となる音声ファイルが見つかりませんでした。";

std::string stateName(State s) {
    switch (s) {
        case State::idle: return "idle";
        case State::running: return "running";
        case State::finished: return "finished";
        case State::cancelled: return "cancelled";
    }
    return "?";
}

// One line per published change: state, counts, file, and whether the
// output location and the message are present.
std::string describe(const EngineSnapshot& s) {
    std::ostringstream out;
    out << stateName(s.state) << " " << s.totalCount << "/" << s.processedCount << "/" << s.errorCount << " '"
        << s.currentFileName << "'" << (s.outputURL ? " url" : "") << (s.errorMessage ? " msg" : "");
    return out.str();
}

std::vector<std::string> describeAll(const std::vector<EngineSnapshot>& snapshots) {
    std::vector<std::string> lines;
    for (const auto& s : snapshots) lines.push_back(describe(s));
    return lines;
}

class BatchRunTest : public ::testing::Test {
protected:
    void SetUp() override { ToolLog::reset(); }
    TempDir dir;
    EngineHarness harness;
};

TEST_F(BatchRunTest, PublishesEveryChangeOfASuccessfulRunInOrder) {
    writeFakeAudio(dir / "a.mp3");
    writeFakeAudio(dir / "b.mp3", "ffmpeg_exit=1\n");
    harness.run(dir.path(), fakeToolSettings(1));

    const std::vector<std::string> expected = {
        "running 0/0/0 ''",         // state
        "running 0/0/0 ''",         // startedAt
        "running 2/0/0 ''",         // the scan's count
        "running 2/0/0 'a.mp3'",
        "running 2/1/0 'a.mp3'",
        "running 2/1/0 'b.mp3'",
        "running 2/2/0 'b.mp3'",
        "running 2/2/1 'b.mp3'",
        "running 2/2/1 'b.mp3' url",
        "finished 2/2/1 'b.mp3' url",
    };
    EXPECT_EQ(describeAll(harness.snapshots), expected);
    EXPECT_EQ(harness.engine().outputURL(), dir / "volume_gains.csv");
    EXPECT_EQ(csvRows(dir / "volume_gains.csv").size(), 2u);

    // A second start resets the counters and the location at once.
    harness.snapshots.clear();
    harness.engine().start(dir.path(), fakeToolSettings(1));
    EXPECT_EQ(describeAll(harness.snapshots),
              (std::vector<std::string>{"running 2/2/1 'b.mp3' url", "running 0/2/1 'b.mp3' url",
                                        "running 0/0/1 'b.mp3' url", "running 0/0/0 'b.mp3' url",
                                        "running 0/0/0 '' url", "running 0/0/0 ''", "running 0/0/0 ''"}));
    harness.serveUntilEnded();
    EXPECT_EQ(harness.engine().state(), State::finished);
}

TEST_F(BatchRunTest, AFolderWithoutAudioEndsWithAMessageAndTouchesNothing) {
    test::writeFile(dir / "notes.txt", "x");
    harness.run(dir.path(), fakeToolSettings());

    const std::vector<std::string> expected = {
        "running 0/0/0 ''", "running 0/0/0 ''", "finished 0/0/0 ''", "finished 0/0/0 '' msg"};
    EXPECT_EQ(describeAll(harness.snapshots), expected);
    EXPECT_EQ(harness.engine().errorMessage(), kNoFiles);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"notes.txt"});

    // The next start clears the message before its scan begins.
    writeFakeAudio(dir / "a.mp3");
    harness.snapshots.clear();
    harness.engine().start(dir.path(), fakeToolSettings());
    ASSERT_GE(harness.snapshots.size(), 2u);
    EXPECT_EQ(describe(harness.snapshots[1]), "running 0/0/0 ''");
    harness.serveUntilEnded();
    EXPECT_FALSE(harness.engine().errorMessage());
}

TEST_F(BatchRunTest, AFolderThatCannotBeReadEndsWithItsMessageAndNoOutput) {
    const fs::path missing = dir / "missing";
    harness.run(missing, fakeToolSettings());
    const auto lines = describeAll(harness.snapshots);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "running 0/0/0 '' msg");
    EXPECT_EQ(lines.back(), "finished 0/0/0 '' msg");
    EXPECT_EQ(harness.engine().errorMessage(), "フォルダを読み取れませんでした: " + missing.string());
    EXPECT_FALSE(harness.engine().outputURL());
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(BatchRunTest, NeverHasMoreFilesInFlightThanTheLimit) {
    struct Case {
        int files;
        std::int64_t limit;
        int expectedMostInFlight;
    };
    // Each file runs ffprobe and then ffmpeg, so tool runs in flight count files in flight.
    const Case cases[] = {{5, 2, 2}, {3, 8, 3}, {3, 1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        TempDir folder;
        for (int i = 0; i < c.files; ++i) writeFakeAudio(folder / ("f" + std::to_string(i) + ".mp3"), "probe_delay=0.3\n");
        ToolLog::reset();
        harness.run(folder.path(), fakeToolSettings(c.limit));
        EXPECT_EQ(ToolLog::maxInFlight(), c.expectedMostInFlight);
        EXPECT_EQ(ToolLog::measuredFiles().size(), static_cast<std::size_t>(c.files));
        EXPECT_EQ(harness.engine().processedCount(), c.files);
    }
}

TEST_F(BatchRunTest, WithALimitOfOneRowsFollowTheScanOrder) {
    const std::vector<std::string> names = {"A/1.mp3", "A/b/2.mp3", "B.mp3", "c/3.flac", "z.wav"};
    for (auto it = names.rbegin(); it != names.rend(); ++it) writeFakeAudio(dir / *it);
    harness.run(dir.path(), fakeToolSettings(1));

    std::vector<std::string> rows;
    for (const auto& line : csvRows(dir / "volume_gains.csv")) rows.push_back(firstField(line));
    EXPECT_EQ(rows, names);
    std::vector<std::string> measured;
    for (const auto& file : ToolLog::measuredFiles()) measured.push_back(fs::path(file).lexically_relative(dir.path()));
    EXPECT_EQ(measured, names);
}

TEST_F(BatchRunTest, ACancelWhileAnalysingKeepsOnlyTheRowsWrittenBefore) {
    for (int i = 1; i <= 6; ++i) writeFakeAudio(dir / ("f" + std::to_string(i) + ".mp3"), "ffmpeg_delay=0.2\n");
    // Cancel once the third file's analysis has begun: it runs to the end,
    // but its row is refused.
    harness.engine().addObserver([&] {
        if (harness.engine().currentFileName() == "f3.mp3") harness.engine().cancel();
    });
    AppSettings settings = fakeToolSettings(1);
    settings.incremental = false;
    harness.run(dir.path(), settings);

    EXPECT_EQ(harness.engine().state(), State::cancelled);
    EXPECT_FALSE(harness.engine().errorMessage());
    EXPECT_EQ(harness.engine().outputURL(), dir / "volume_gains.csv");
    const auto rows = csvRows(dir / "volume_gains.csv");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(firstField(rows[0]), "f1.mp3");
    EXPECT_EQ(firstField(rows[1]), "f2.mp3");
    EXPECT_EQ(harness.engine().processedCount(), 2);
    EXPECT_EQ(ToolLog::measuredFiles().size(), 3u);
    EXPECT_FALSE(fs::exists(dir / "volume_gains.csv.tmp"));
    const auto lines = describeAll(harness.snapshots);
    EXPECT_EQ(lines[lines.size() - 2], "running 6/2/0 'f3.mp3' url");
    EXPECT_EQ(lines.back(), "cancelled 6/2/0 'f3.mp3' url");
}

TEST_F(BatchRunTest, ACancelDuringTheScanStillReplacesTheCSVWithTheHeader) {
    writeFakeAudio(dir / "a.mp3");
    test::writeFile(dir / "volume_gains.csv", "old\nrow\n");
    AppSettings settings = fakeToolSettings();
    settings.incremental = false;
    harness.engine().start(dir.path(), settings);
    harness.engine().cancel();
    harness.serveUntilEnded();

    EXPECT_EQ(harness.engine().state(), State::cancelled);
    EXPECT_EQ(harness.engine().totalCount(), 1);
    EXPECT_EQ(harness.engine().processedCount(), 0);
    EXPECT_EQ(harness.engine().currentFileName(), "");
    EXPECT_EQ(ToolLog::starts(), 0);
    EXPECT_TRUE(csvRows(dir / "volume_gains.csv").empty());
    EXPECT_TRUE(readFile(dir / "volume_gains.csv").starts_with("relative_path,"));
}

TEST_F(BatchRunTest, StartWhileRunningIsIgnored) {
    writeFakeAudio(dir / "a.mp3");
    writeFakeAudio(dir / "b.mp3");
    harness.engine().start(dir.path(), fakeToolSettings());
    const auto published = harness.snapshots.size();
    harness.engine().start(dir.path(), fakeToolSettings());
    EXPECT_EQ(harness.snapshots.size(), published);
    harness.serveUntilEnded();
    EXPECT_EQ(ToolLog::measuredFiles().size(), 2u);
    EXPECT_EQ(csvRows(dir / "volume_gains.csv").size(), 2u);
}

TEST_F(BatchRunTest, AMissingFfmpegIsAStatusOfEveryRowNotARunFailure) {
    writeFakeAudio(dir / "a.mp3");
    writeFakeAudio(dir / "b.mp3", "title=Tagged\n");
    AppSettings settings = fakeToolSettings();
    settings.ffmpegPath = (dir / "nowhere" / "ffmpeg").string();
    // No run is in flight, so the environment may change: without a search
    // path, `which` cannot be found and the tools are nowhere.
    const std::string savedPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (dir / "empty").c_str(), 1);
    harness.run(dir.path(), settings);
    setenv("PATH", savedPath.c_str(), 1);

    EXPECT_EQ(harness.engine().state(), State::finished);
    EXPECT_FALSE(harness.engine().errorMessage());
    EXPECT_TRUE(harness.engine().outputURL());
    EXPECT_EQ(harness.engine().processedCount(), 2);
    EXPECT_EQ(harness.engine().errorCount(), 2);
    const PreviousRows rows = loadPreviousRows(dir / "volume_gains.csv");
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& [path, row] : rows) {
        EXPECT_EQ(row.status, "error:ffmpeg_not_found");
        EXPECT_EQ(row.gain_db, 0);
    }
    EXPECT_EQ(rows.at("b.mp3").title, "b");
    EXPECT_EQ(readFile(dir / "volume_gains.csv.meta.json"), "{}");
}

TEST_F(BatchRunTest, ASecondRunOnABusyFolderChangesNothingAndClaimsNoOutput) {
    writeFakeAudio(dir / "a.mp3", "ffmpeg_delay=0.5\n");
    auto second = AnalysisEngine::create(std::shared_ptr<MainThread>(&harness.queue(), [](MainThread*) {}));
    // Start the second run once the first one holds the folder.
    harness.engine().addObserver([&] {
        if (harness.engine().currentFileName() == "a.mp3" && second->state() == State::idle) {
            second->start(dir.path(), fakeToolSettings());
        }
    });
    harness.engine().start(dir.path(), fakeToolSettings());
    harness.queue().serveUntil([&] {
        return harness.engine().state() != State::running && second->state() != State::running &&
               second->state() != State::idle;
    });
    EXPECT_EQ(second->state(), State::finished);
    EXPECT_EQ(second->errorMessage(), "別の解析がこのフォルダに書き込み中です。");
    EXPECT_FALSE(second->outputURL());
    EXPECT_EQ(harness.engine().state(), State::finished);
    EXPECT_FALSE(harness.engine().errorMessage());
    EXPECT_EQ(csvRows(dir / "volume_gains.csv").size(), 1u);
    std::weak_ptr<AnalysisEngine> weak = second;
    second.reset();
    for (int i = 0; i < 10000 && !weak.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Rows that cannot be written: the file-size limit of the process makes every
// write past the header fail as a full disk would.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }

private:
    rlimit m_saved{};
};

TEST_F(BatchRunTest, ARowThatCannotBeWrittenNeverReplacesACompletePreviousCSV) {
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"}) writeFakeAudio(dir / name, "lufs=-20\n");
    harness.run(dir.path(), fakeToolSettings(1));
    const std::string previousCsv = readFile(dir / "volume_gains.csv");
    const std::string previousMeta = readFile(dir / "volume_gains.csv.meta.json");
    const auto headerBytes = previousCsv.find('\n') + 1;
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"}) writeFakeAudio(dir / name, "lufs=-21.5\n");
    {
        FileSizeLimit limit(headerBytes + 10);
        harness.run(dir.path(), fakeToolSettings(1));
    }
    EXPECT_EQ(harness.engine().state(), State::finished);
    EXPECT_TRUE(harness.engine().errorMessage());
    EXPECT_FALSE(harness.engine().outputURL());
    EXPECT_EQ(readFile(dir / "volume_gains.csv"), previousCsv);
    EXPECT_EQ(readFile(dir / "volume_gains.csv.meta.json"), previousMeta);
    EXPECT_TRUE(fs::exists(dir / "volume_gains.csv.tmp"));

    // Without a previous CSV there is nothing to keep: what was written is installed.
    TempDir fresh;
    writeFakeAudio(fresh / "a.mp3");
    {
        FileSizeLimit limit(headerBytes + 10);
        harness.run(fresh.path(), fakeToolSettings(1));
    }
    EXPECT_EQ(harness.engine().state(), State::finished);
    EXPECT_TRUE(harness.engine().errorMessage());
    EXPECT_EQ(harness.engine().outputURL(), fresh / "volume_gains.csv");
    EXPECT_TRUE(csvRows(fresh / "volume_gains.csv").empty());
}

TEST_F(BatchRunTest, TheEngineMayBeDroppedWhileARunIsInFlight) {
    writeFakeAudio(dir / "a.mp3", "ffmpeg_delay=0.3\n");
    writeFakeAudio(dir / "b.mp3");
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
    for (int i = 0; i < 10000 && !weak.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(csvRows(dir / "volume_gains.csv").size(), 2u);
}

}  // namespace
}  // namespace quellmark
