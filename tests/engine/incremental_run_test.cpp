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
        run();
    }
    void run(const AppSettings& settings = fakeToolSettings()) { harness.run(dir.path(), settings); }
    Names measured() { return harness.rows(RowOrigin::measured); }
    Names metaKeys() {
        Names keys;
        for (const auto& [key, entry] : loadPreviousMeta(dir / "volume_gains.csv.meta.json")) keys.push_back(key);
        return keys;
    }
    std::string results() { return readFile(dir / "volume_gains.csv") + readFile(dir / "volume_gains.csv.meta.json"); }

    const Names all = {"a.mp3", "b/b.flac", "c.wav", "d.mp3"};
    TempDir dir;
    EngineHarness harness;
};

// Unchanged files start no tool and keep their bytes; a changed file, a new
// target or a damaged meta file change exactly what they must.
TEST_F(IncrementalRunTest, ARerunMeasuresOnlyWhatChanged) {
    EXPECT_EQ(measured(), all);
    const std::string first = results();
    run();
    EXPECT_TRUE(measured().empty());
    EXPECT_EQ(results(), first);
    EXPECT_EQ(harness.snapshot().processedCount, 4);

    writeFakeAudio(dir / "d.mp3", "lufs=-31\n");
    AppSettings moved = fakeToolSettings();
    moved.targetLUFS = -14;
    moved.clampDB = 10;
    run(moved);
    EXPECT_EQ(measured(), Names{"d.mp3"});
    const PreviousRows rows = loadPreviousRows(dir / "volume_gains.csv");
    // From the stored loudness -20.3 (not -20.25): 6.3. Loud -10: -4. Quiet -31: 17 → 10.
    for (const auto& [path, gain] : {std::pair{"a.mp3", 6.3}, {"c.wav", -4.0}, {"d.mp3", 10.0}, {"b/b.flac", 0.0}}) {
        EXPECT_EQ(rows.at(path).gain_db, gain) << path;
    }
    EXPECT_EQ(rows.at("c.wav").title, "Loud");

    writeFile(dir / "volume_gains.csv.meta.json", "{\"a.mp3\":{\"mtimeNs\":1}");
    run(moved);
    EXPECT_EQ(measured(), all);
    EXPECT_EQ(harness.snapshot().state, State::finished);
}

TEST_F(IncrementalRunTest, ACancelAmongCarriedRowsLosesNoneOfThem) {
    // newA: a changed a.mp3, measured first.
    const struct { const char* what; const char* newA; const char* cancelOn; Names kept, measuredNext; } cases[] = {
        {"while measuring a.mp3", "lufs=-21\nffmpeg_delay=0.2\n", "a.mp3", {"b/b.flac", "c.wav", "d.mp3"}, {"a.mp3"}},
        // The cancel lands while the carried rows are being handed over, which
        // names the last of them.
        {"while carrying", nullptr, "d.mp3", {"a.mp3", "b/b.flac", "c.wav", "d.mp3"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.newA) writeFakeAudio(dir / "a.mp3", c.newA);
        const int observer = harness.engine().addObserver([&] {
            if (harness.snapshot().currentFileName == c.cancelOn) harness.engine().cancel();
        });
        run();
        harness.engine().removeObserver(observer);
        EXPECT_EQ(harness.snapshot().state, State::cancelled);
        EXPECT_EQ(csvPaths(dir / "volume_gains.csv"), c.kept);
        EXPECT_EQ(metaKeys(), c.kept);
        // The next run measures only what is missing.
        run();
        EXPECT_EQ(measured(), c.measuredNext);
        EXPECT_EQ(csvPaths(dir / "volume_gains.csv"), all);
    }
}

TEST_F(IncrementalRunTest, TwoNamesThatReadAsOneTextAreNeverCarriedOver) {
    writeFakeAudio(dir / "Caf\xE9.mp3", "lufs=-12\n");
    writeFakeAudio(dir / "Caf\xE8.mp3", "lufs=-24\n");
    const std::string shared = "Caf\xEF\xBF\xBD.mp3";
    for (int i = 0; i < 2; ++i) {
        run();
        EXPECT_EQ(measured().size(), 2u);
        const Names paths = csvPaths(dir / "volume_gains.csv");
        EXPECT_EQ(std::ranges::count(paths, shared), 2);
        EXPECT_EQ(paths.size(), 6u);
        EXPECT_EQ(std::ranges::count(metaKeys(), shared), 0);
    }
}

}  // namespace
}  // namespace quellmark
