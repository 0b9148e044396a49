#include "engine/analyze_file.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "engine_run_support.h"

namespace quellmark {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

TEST(AnalyzeFileTest, GainIsClampedThenRoundedHalfAwayFromZero) {
    const struct {
        double measured, target, clamp, gain;
    } cases[] = {
        {-23.04, -14, 6, 6},       // 9.04 limited to the clamp
        {-20.25, -14, 10, 6.3},    // 6.25: the half goes up
        {-30, -18, 12, 12},        // exactly at the clamp
        {-5, -18, 12, -12},        // -13 limited from below
        {-17.96, -18, 12, 0},      // -0.04 must not become "-0"
        {-10, -18, 0, 0},          // a zero clamp yields -0 before rounding
        {-kInf, -18, 12, 12},
        {kNaN, -18, 12, 0},        // no loudness: no correction
    };
    for (const auto& c : cases) {
        const double gain = gainFor(c.measured, c.target, c.clamp);
        EXPECT_DOUBLE_EQ(gain, c.gain) << c.measured << " " << c.target << " " << c.clamp;
        EXPECT_FALSE(std::signbit(gain) && gain == 0) << c.measured;
    }
    const std::pair<double, double> tenths[] = {{-20.25, -20.3}, {2.25, 2.3}, {-0.05, -0.1}, {12.345, 12.3},
                                                {-0.04, 0},      {kNaN, kNaN}, {-kInf, -kInf}};
    for (auto [in, out] : tenths) {
        EXPECT_PRED2(same, roundToTenth(in), out) << in;
        EXPECT_FALSE(std::signbit(roundToTenth(in)) && out == 0) << in;
    }
}

TEST(AnalyzeFileTest, RelativePathIsTheBytesAfterTheFolderPrefix) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"/Music/Set/Disc 1/a.flac", "/Music/Set", "Disc 1/a.flac"},
        {"/Music/Set/a.flac", "/Music/Set/", "a.flac"},
        {"/private/Music/Set/a.flac", "/Music/Set", "a.flac"},  // reached through another path
        {"/Music/Set/Caf\xE9.mp3", "/Music/Set", "Caf\xE9.mp3"},  // bytes kept, repaired later
        {"relative/dir/b.mp3", "relative/dir", "b.mp3"},
    };
    for (const auto& [file, folder, expected] : cases) EXPECT_EQ(makeRelativePath(file, folder), expected) << file;
}

// A run over files of every kind the stand-in tools can report.
TEST(AnalyzeFileTest, BuildsRowsFromTheToolsReports) {
    const struct {
        std::string name, content, status, title, artist;
        double duration, lufs, peak, gain;
    } cases[] = {
        {"Intro.mp3", "QMFAKE\nlufs=-23.04\npeak=-1.04\nduration=12.345000\n", "ok", "Intro", "", 12.3, -23, -1, 6},
        {"tagged.flac", "QMFAKE\nlufs=-12.0\ntitle=Song\nartist=Band\n", "ok", "Song", "Band", 10, -12, -1, -2},
        {"a.tar.gz", "QMFAKE\nlufs=-14\n", "ok", "a.tar", "", 10, -14, -1, 0},
        {"short.wav", "QMFAKE\nlufs=-70.0\npeak=-3.0\nduration=0.300000\n", "ok", "short", "", 0.3, kNaN, -3, 0},
        {"adts.aac", "QMFAKE\nduration=238.000000\ndecoded=11.00\n", "ok", "adts", "", 11, -20, -1, 6},
        {"noprobe.ogg", "QMFAKE\nprobe_exit=1\n", "ok", "noprobe", "", 10, -20, -1, 6},
        {"broken.mp3", "QMFAKE\nffmpeg_exit=1\ntitle=Tagged\n", "error:decode_failed", "broken", "", kNaN, kNaN, kNaN, 0},
        {"garbage.mp3", "\x01\x02 not audio", "error:decode_failed", "garbage", "", kNaN, kNaN, kNaN, 0},
    };
    TempDir dir;
    for (const auto& c : cases) writeFile(dir / c.name, c.content);
    AppSettings settings = fakeToolSettings();
    settings.targetLUFS = -14;
    settings.clampDB = 6;
    settings.audioExtensions = {"aac", "flac", "gz", "mp3", "ogg", "wav"};
    EngineHarness harness;
    harness.run(dir.path(), settings);
    const PreviousRows rows = loadPreviousRows(dir / "volume_gains.csv");
    const MetaMap meta = loadPreviousMeta(dir / "volume_gains.csv.meta.json");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const AnalyzeResult& row = rows.at(c.name);
        EXPECT_EQ(std::make_tuple(row.file_name, std::string(statusText(row.status)), row.title, row.artist),
                  std::make_tuple(std::string(c.name), std::string(c.status), std::string(c.title), std::string(c.artist)));
        EXPECT_PRED2(same, row.duration_sec, c.duration);
        EXPECT_PRED2(same, row.measured_lufs, c.lufs);
        EXPECT_PRED2(same, row.true_peak_dbfs, c.peak);
        EXPECT_PRED2(same, row.gain_db, c.gain);
        EXPECT_EQ(meta.contains(c.name), c.status == "ok");  // only measured rows are remembered
    }
}

// Which files are carried is the output layer's test, and the engine runs
// check a new target and shared names; here how a carried row's gain is chosen.
TEST(AnalyzeFileTest, CarriedRowsGetTheGainForTheCurrentTarget) {
    const MetaEntry stamp{100, 5'000'000'000};
    const struct {
        double storedGain, storedLufs, carriedGain;
    } cases[] = {
        {9, -23, 5},      // gain for another target: 5 = -18 - (-23)
        {5.1, -23, 5.1},  // within 0.1: the stored one stays
        {kNaN, -23, 5},
        {3, kNaN, 0},  // no loudness: no correction
    };
    const std::set<std::string> ambiguous;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.storedGain);
        FileTaskContext context;
        context.previous = std::make_shared<PreviousResults>();
        context.previous->setRow({"a.mp3", "a.mp3", "Old", "", 99.9, c.storedLufs, -0.5, c.storedGain, RowStatus::ok, 0, 0, true});
        context.previous->setStamp("a.mp3", stamp);
        context.ambiguousPaths = &ambiguous;
        const auto carried = carriedOverFor("a.mp3", stamp, context);
        ASSERT_TRUE(carried);
        EXPECT_DOUBLE_EQ(carried->row->gain_db, c.carriedGain);
        EXPECT_EQ(std::tie(carried->row->title, carried->row->duration_sec), std::make_tuple("Old", 99.9));
    }
}

}  // namespace
}  // namespace quellmark
