// Reruns over a folder that a previous run already measured.
#include "engine/analysis_engine.h"

#include <chrono>

#include <gtest/gtest.h>

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

// With one file in flight rows are written in list order, so two runs can be
// compared byte for byte.
class IncrementalRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFakeAudio(dir / "a.mp3", "lufs=-20.25\n");
        writeFakeAudio(dir / "b/b.flac", "lufs=-70.0\n");  // no loudness
        writeFakeAudio(dir / "c.wav", "lufs=-10\ntitle=Loud\n");
        writeFakeAudio(dir / "d.mp3", "lufs=-30\n");
        ToolLog::reset();
    }

    void run(const AppSettings& settings) {
        ToolLog::reset();
        harness.run(dir.path(), settings);
        EXPECT_NE(harness.engine().state(), State::running);
    }

    std::string csv() { return readFile(dir / "volume_gains.csv"); }
    std::string meta() { return readFile(dir / "volume_gains.csv.meta.json"); }

    TempDir dir;
    EngineHarness harness;
};

TEST_F(IncrementalRunTest, ARerunOverAnUnchangedFolderStartsNoToolAndWritesTheSameBytes) {
    run(fakeToolSettings(1));
    EXPECT_EQ(ToolLog::measuredFiles().size(), 4u);
    const std::string firstCsv = csv();
    const std::string firstMeta = meta();

    run(fakeToolSettings(1));
    EXPECT_EQ(ToolLog::starts(), 0);
    EXPECT_EQ(csv(), firstCsv);
    EXPECT_EQ(meta(), firstMeta);
    EXPECT_EQ(harness.engine().state(), State::finished);
    EXPECT_EQ(harness.engine().processedCount(), 4);
    EXPECT_EQ(harness.engine().errorCount(), 0);

    // A changed file, a damaged meta file: measured again.
    writeFakeAudio(dir / "d.mp3", "lufs=-31\n");
    run(fakeToolSettings(1));
    EXPECT_EQ(ToolLog::measuredFiles(), std::vector<std::string>{(dir / "d.mp3").string()});

    test::writeFile(dir / "volume_gains.csv.meta.json", "{\"a.mp3\":{\"mtimeNs\":1}");
    run(fakeToolSettings(1));
    EXPECT_EQ(ToolLog::measuredFiles().size(), 4u);
    EXPECT_EQ(harness.engine().state(), State::finished);
    EXPECT_FALSE(harness.engine().errorMessage());
}

TEST_F(IncrementalRunTest, CarriedRowsFollowANewTargetWithoutMeasuringAgain) {
    run(fakeToolSettings(1));  // target -18, clamp 12
    AppSettings moved = fakeToolSettings(1);
    moved.targetLUFS = -14;
    moved.clampDB = 10;
    run(moved);
    EXPECT_EQ(ToolLog::starts(), 0);
    const PreviousRows rows = loadPreviousRows(dir / "volume_gains.csv");
    // From the stored loudness -20.3 (not -20.25): 6.3. Loud -10: -4. Quiet -30: 16 → 10.
    EXPECT_DOUBLE_EQ(rows.at("a.mp3").gain_db, 6.3);
    EXPECT_DOUBLE_EQ(rows.at("c.wav").gain_db, -4);
    EXPECT_DOUBLE_EQ(rows.at("d.mp3").gain_db, 10);
    EXPECT_DOUBLE_EQ(rows.at("b/b.flac").gain_db, 0);
    EXPECT_EQ(rows.at("c.wav").title, "Loud");
    EXPECT_DOUBLE_EQ(rows.at("a.mp3").measured_lufs, -20.3);

    const std::string movedCsv = csv();
    run(moved);
    EXPECT_EQ(ToolLog::starts(), 0);
    EXPECT_EQ(csv(), movedCsv);
}

TEST_F(IncrementalRunTest, AnEarlyEndingKeepsTheRowsOfFilesNeverReached) {
    run(fakeToolSettings(1));
    // a.mp3 changed and is measured first; cancel as soon as it begins.
    writeFakeAudio(dir / "a.mp3", "lufs=-21\nffmpeg_delay=0.2\n");
    bool cancelOnA = true;
    harness.engine().addObserver([&] {
        if (cancelOnA && harness.engine().currentFileName() == "a.mp3") harness.engine().cancel();
    });
    run(fakeToolSettings(1));

    EXPECT_EQ(harness.engine().state(), State::cancelled);
    EXPECT_EQ(harness.engine().processedCount(), 0);
    EXPECT_EQ(ToolLog::measuredFiles().size(), 1u);
    std::vector<std::string> kept;
    for (const auto& line : csvRows(dir / "volume_gains.csv")) kept.push_back(firstField(line));
    EXPECT_EQ(kept, (std::vector<std::string>{"b/b.flac", "c.wav", "d.mp3"}));
    const MetaMap entries = loadPreviousMeta(dir / "volume_gains.csv.meta.json");
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_FALSE(entries.contains("a.mp3"));

    // The next run measures only what is missing.
    cancelOnA = false;
    run(fakeToolSettings(1));
    EXPECT_EQ(ToolLog::measuredFiles(), std::vector<std::string>{(dir / "a.mp3").string()});
    EXPECT_EQ(csvRows(dir / "volume_gains.csv").size(), 4u);
}

TEST_F(IncrementalRunTest, ACancelAmongCarriedRowsLosesNoneOfThem) {
    run(fakeToolSettings(1));
    const std::string firstCsv = csv();
    // The cancel lands while b.flac's carried row is being handed over.
    bool cancelOnB = true;
    harness.engine().addObserver([&] {
        if (cancelOnB && harness.engine().currentFileName() == "b.flac") harness.engine().cancel();
    });
    run(fakeToolSettings(1));
    cancelOnB = false;

    EXPECT_EQ(harness.engine().state(), State::cancelled);
    EXPECT_EQ(ToolLog::starts(), 0);
    EXPECT_EQ(csv(), firstCsv);
    EXPECT_EQ(loadPreviousMeta(dir / "volume_gains.csv.meta.json").size(), 4u);
}

TEST_F(IncrementalRunTest, TwoNamesThatReadAsOneTextAreNeverCarriedOver) {
    writeFakeAudio(dir / "Caf\xE9.mp3", "lufs=-12\n");
    writeFakeAudio(dir / "Caf\xE8.mp3", "lufs=-24\n");
    run(fakeToolSettings(1));
    const std::string shared = "Caf\xEF\xBF\xBD.mp3";
    int sharedRows = 0;
    for (const auto& line : csvRows(dir / "volume_gains.csv")) sharedRows += firstField(line) == shared;
    EXPECT_EQ(sharedRows, 2);
    EXPECT_FALSE(loadPreviousMeta(dir / "volume_gains.csv.meta.json").contains(shared));

    run(fakeToolSettings(1));
    EXPECT_EQ(ToolLog::measuredFiles().size(), 2u);
    EXPECT_EQ(csvRows(dir / "volume_gains.csv").size(), 6u);
}

TEST_F(IncrementalRunTest, RowsOfARunThatNeverFinishedAreKeptWhenTheirStampWasSaved) {
    run(fakeToolSettings(1));
    writeFakeAudio(dir / "a.mp3", "lufs=-16\n");
    writeFakeAudio(dir / "c.wav", "lufs=-16\n");
    // What a run that died after measuring both files leaves behind: both
    // rows, but only a.mp3's stamp reached the journal.
    test::writeFile(dir / "volume_gains.csv.tmp", readFile(QUELLMARK_TEST_DATA_DIR "/csv-header.txt") +
                                                       "a.mp3,a.mp3,Resumed,,10,-16,-1,-2,ok,0,0\n"
                                                       "c.wav,c.wav,Resumed,,10,-16,-1,-2,ok,0,0\n");
    test::writeFile(dir / "volume_gains.csv.meta.journal", encodeJournalLine("a.mp3", fileStamp(dir / "a.mp3")));

    run(fakeToolSettings(1));
    EXPECT_EQ(ToolLog::measuredFiles(), std::vector<std::string>{(dir / "c.wav").string()});
    const PreviousRows rows = loadPreviousRows(dir / "volume_gains.csv");
    EXPECT_EQ(rows.at("a.mp3").title, "Resumed");
    EXPECT_EQ(rows.at("c.wav").title, "c");  // measured, not the leftover
    EXPECT_EQ(rows.size(), 4u);
    EXPECT_FALSE(fs::exists(dir / "volume_gains.csv.meta.journal"));
}

TEST(EngineClockTest, TheEstimateUsesTheInjectedClock) {
    TempDir dir;
    writeFakeAudio(dir / "a.mp3");
    writeFakeAudio(dir / "b.mp3");
    ToolLog::reset();
    auto queue = std::make_shared<SerialQueue>();
    std::chrono::steady_clock::time_point now{};
    auto engine = AnalysisEngine::create(queue, [&now] { return now; });
    std::optional<double> estimateAfterOne;
    engine->addObserver([&] {
        if (engine->processedCount() == 1 && !estimateAfterOne) {
            now += std::chrono::seconds(10);
            estimateAfterOne = engine->estimatedRemainingSeconds();
        }
    });
    engine->start(dir.path(), fakeToolSettings(1));
    EXPECT_EQ(engine->startedAt(), std::chrono::steady_clock::time_point{});
    queue->serveUntil([&] { return engine->state() != State::running; });
    ASSERT_TRUE(estimateAfterOne);
    EXPECT_DOUBLE_EQ(*estimateAfterOne, 10.0);  // 10 s for one file, one left
    EXPECT_FALSE(engine->estimatedRemainingSeconds());
    std::weak_ptr<AnalysisEngine> weak = engine;
    engine.reset();
    for (int i = 0; i < 10000 && !weak.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace
}  // namespace quellmark
