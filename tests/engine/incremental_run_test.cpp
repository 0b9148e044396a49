// Reruns over a folder that a previous run already measured.
#include "engine/analysis_engine.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "engine_run_support.h"

namespace quellmark {
namespace {

// With one file in flight rows are written in list order, so two runs can be
// compared byte for byte.
class IncrementalRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFakeAudio(dir / "a.mp3", "lufs=-20.25\n");
        writeFakeAudio(dir / "b/b.flac", "lufs=-70.0\n");  // no loudness
        writeFakeAudio(dir / "c.wav", "lufs=-10\ntitle=Loud\n");
        writeFakeAudio(dir / "d.mp3", "lufs=-30\n");
    }

    void run(const AppSettings& settings = fakeToolSettings(1)) {
        ToolLog::reset();
        harness.run(dir.path(), settings);
    }
    Names measured() { return ToolLog::measuredFiles(dir.path()); }
    Names metaKeys() {
        Names keys;
        for (const auto& [key, entry] : loadPreviousMeta(dir / "volume_gains.csv.meta.json")) keys.push_back(key);
        return keys;
    }
    std::string csv() { return readFile(dir / "volume_gains.csv"); }

    const Names all = {"a.mp3", "b/b.flac", "c.wav", "d.mp3"};
    TempDir dir;
    EngineHarness harness;
};

TEST_F(IncrementalRunTest, ARerunOverAnUnchangedFolderStartsNoToolAndWritesTheSameBytes) {
    run();
    EXPECT_EQ(measured(), all);
    const std::string firstCsv = csv();
    const std::string firstMeta = readFile(dir / "volume_gains.csv.meta.json");
    run();
    EXPECT_EQ(ToolLog::starts(), 0);
    EXPECT_EQ(csv(), firstCsv);
    EXPECT_EQ(readFile(dir / "volume_gains.csv.meta.json"), firstMeta);
    EXPECT_EQ(harness.engine().snapshot().processedCount, 4);

    // A changed file, a damaged meta file: measured again.
    writeFakeAudio(dir / "d.mp3", "lufs=-31\n");
    run();
    EXPECT_EQ(measured(), Names{"d.mp3"});
    writeFile(dir / "volume_gains.csv.meta.json", "{\"a.mp3\":{\"mtimeNs\":1}");
    run();
    EXPECT_EQ(measured(), all);
    EXPECT_EQ(harness.engine().snapshot().state, State::finished);
    EXPECT_FALSE(harness.engine().snapshot().errorMessage);
}

TEST_F(IncrementalRunTest, CarriedRowsFollowANewTargetWithoutMeasuringAgain) {
    run();  // target -18, clamp 12
    AppSettings moved = fakeToolSettings(1);
    moved.targetLUFS = -14;
    moved.clampDB = 10;
    run(moved);
    EXPECT_EQ(ToolLog::starts(), 0);
    const PreviousRows rows = loadPreviousRows(dir / "volume_gains.csv");
    // From the stored loudness -20.3 (not -20.25): 6.3. Loud -10: -4. Quiet -30: 16 → 10.
    const std::pair<const char*, double> gains[] = {{"a.mp3", 6.3}, {"c.wav", -4}, {"d.mp3", 10}, {"b/b.flac", 0}};
    for (const auto& [path, gain] : gains) EXPECT_DOUBLE_EQ(rows.at(path).gain_db, gain) << path;
    EXPECT_EQ(rows.at("c.wav").title, "Loud");

    const std::string movedCsv = csv();
    run(moved);
    EXPECT_EQ(ToolLog::starts(), 0);
    EXPECT_EQ(csv(), movedCsv);
}

TEST_F(IncrementalRunTest, ACancelAmongCarriedRowsLosesNoneOfThem) {
    const struct {
        const char* what;
        const char* newA;  // a.mp3 changed, so measured first
        const char* cancelOn;
        Names kept, measuredAfter;
    } cases[] = {
        {"while measuring a.mp3", "lufs=-21\nffmpeg_delay=0.2\n", "a.mp3", {"b/b.flac", "c.wav", "d.mp3"}, {"a.mp3"}},
        // The cancel lands while the carried rows are being handed over, which
        // names the last of them.
        {"while carrying", nullptr, "d.mp3", {"a.mp3", "b/b.flac", "c.wav", "d.mp3"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        run();
        if (c.newA) writeFakeAudio(dir / "a.mp3", c.newA);
        const int observer = harness.engine().addObserver([&] {
            if (harness.engine().snapshot().currentFileName == c.cancelOn) harness.engine().cancel();
        });
        run();
        harness.engine().removeObserver(observer);
        EXPECT_EQ(harness.engine().snapshot().state, State::cancelled);
        EXPECT_EQ(measured(), c.measuredAfter);
        EXPECT_EQ(csvPaths(dir / "volume_gains.csv"), c.kept);
        EXPECT_EQ(metaKeys(), c.kept);

        // The next run measures only what is missing.
        run();
        EXPECT_EQ(measured(), c.measuredAfter);
        EXPECT_EQ(csvPaths(dir / "volume_gains.csv"), all);
    }
}

TEST_F(IncrementalRunTest, TwoNamesThatReadAsOneTextAreNeverCarriedOver) {
    writeFakeAudio(dir / "Caf\xE9.mp3", "lufs=-12\n");
    writeFakeAudio(dir / "Caf\xE8.mp3", "lufs=-24\n");
    const std::string shared = "Caf\xEF\xBF\xBD.mp3";
    for (int i = 0; i < 2; ++i) {
        run();
        EXPECT_EQ(measured().size(), i == 0 ? 6u : 2u);
        const Names paths = csvPaths(dir / "volume_gains.csv");
        EXPECT_EQ(std::ranges::count(paths, shared), 2);
        EXPECT_EQ(paths.size(), 6u);
        EXPECT_EQ(std::ranges::count(metaKeys(), shared), 0);
    }
}

TEST_F(IncrementalRunTest, RowsOfARunThatNeverFinishedAreKeptWhenTheirStampWasSaved) {
    run();
    writeFakeAudio(dir / "a.mp3", "lufs=-16\n");
    writeFakeAudio(dir / "c.wav", "lufs=-16\n");
    // What a run that died after measuring both files leaves behind: both
    // rows, but only a.mp3's stamp reached the journal.
    writeFile(dir / "volume_gains.csv.tmp", readFile(QUELLMARK_TEST_DATA_DIR "/csv-header.txt") +
                                                "a.mp3,a.mp3,Resumed,,10,-16,-1,-2,ok,0,0\n"
                                                "c.wav,c.wav,Resumed,,10,-16,-1,-2,ok,0,0\n");
    writeFile(dir / "volume_gains.csv.meta.journal", encodeJournalLine("a.mp3", fileStamp(dir / "a.mp3")));
    run();
    EXPECT_EQ(measured(), Names{"c.wav"});
    const PreviousRows rows = loadPreviousRows(dir / "volume_gains.csv");
    EXPECT_EQ(rows.at("a.mp3").title, "Resumed");
    EXPECT_EQ(rows.at("c.wav").title, "c");  // measured, not the leftover
    EXPECT_EQ(rows.size(), 4u);
    EXPECT_FALSE(fs::exists(dir / "volume_gains.csv.meta.journal"));
}

}  // namespace
}  // namespace quellmark
