#include "engine/analyze_file.h"

#include <cmath>

#include <gtest/gtest.h>

#include "engine_run_support.h"

namespace quellmark {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(AnalyzeFile, GainIsClampedThenRoundedHalfAwayFromZero) {
    const struct { double measured, target, clamp, gain; } cases[] = {
        {-20.5, -14, 6, 6},     // 6.5 limited to the clamp
        {-20.25, -14, 10, 6.3},  // 6.25: the half goes up
        {-7.75, -14, 10, -6.3},  // and down
        {-30, -18, 12, 12},      // exactly at the clamp
        {-5, -18, 12, -12},      // -13 limited from below
        {-5, -18, 12.5, -12.5},
        {-17.96, -18, 12, 0},    // -0.04 must not become "-0"
        {-10, -18, 0, 0},        // a zero clamp yields -0 before rounding
        {kNaN, -18, 12, 0},      // no loudness: no correction
    };
    for (const auto& c : cases) {
        const double gain = gainFor(c.measured, c.target, c.clamp);
        EXPECT_EQ(gain, c.gain) << c.measured << " " << c.target << " " << c.clamp;
        EXPECT_FALSE(std::signbit(gain) && gain == 0) << c.measured;
    }
    for (auto [in, out] : {std::pair{2.25, 2.3}, {-0.05, -0.1}, {12.345, 12.3}}) EXPECT_EQ(roundToTenth(in), out) << in;
}

TEST(AnalyzeFile, RelativePathIsTheBytesAfterTheFolderPrefix) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"/Music/Set/Disc 1/a.flac", "/Music/Set", "Disc 1/a.flac"},
        {"/Music/Set/a.flac", "/Music/Set/", "a.flac"},
        {"/private/Music/Set/a.flac", "/Music/Set", "a.flac"},  // reached through another path
        {"/Music/Set/Caf\xE9.mp3", "/Music/Set", "Caf\xE9.mp3"},  // bytes kept, repaired later
    };
    for (const auto& [file, folder, expected] : cases) EXPECT_EQ(makeRelativePath(file, folder), expected) << file;
}

// Rows from what the stand-in tools report: a failed probe costs only the
// tags, a failed measurement makes an error row published with its reason, and
// only measured rows are remembered in the meta file.
TEST(AnalyzeFile, BuildsRowsFromTheToolsReports) {
    const struct { const char *name, *content, *row; } cases[] = {
        {"Intro.mp3", "lufs=-23.04\npeak=-1.04\nduration=12.345000\n", "Intro.mp3,Intro.mp3,Intro,,12.3,-23,-1,6,ok,0,0"},
        {"a.tar.gz", "lufs=-14\ntitle=Song\n", "a.tar.gz,a.tar.gz,Song,,10,-14,-1,0,ok,0,0"},
        {"adts.aac", "duration=238.000000\ndecoded=11.00\n", "adts.aac,adts.aac,adts,,11,-20,-1,6,ok,0,0"},
        {"broken.mp3", "ffmpeg_exit=1\ntitle=Tagged\n", "broken.mp3,broken.mp3,broken,,,,,0,error:decode_failed,0,0"},
        {"noprobe.ogg", "probe_exit=1\n", "noprobe.ogg,noprobe.ogg,noprobe,,10,-20,-1,6,ok,0,0"},
        {"short.wav", "lufs=-70.0\npeak=-3.0\nduration=0.300000\n", "short.wav,short.wav,short,,0.3,,-3,0,ok,0,0"},
    };
    TempDir dir;
    std::string expected = readFile(QUELLMARK_TEST_DATA_DIR "/csv-header.txt");
    for (const auto& c : cases) {
        writeFakeAudio(dir / c.name, c.content);
        expected += c.row + std::string("\n");
    }
    AppSettings settings = fakeToolSettings();
    settings.targetLUFS = -14;
    settings.clampDB = 6;
    settings.audioExtensions = {"aac", "gz", "mp3", "ogg", "wav"};
    EngineHarness harness;
    harness.run(dir.path(), settings);
    EXPECT_EQ(readFile(dir / "volume_gains.csv"), expected);
    // The tool's last line on standard error follows the message.
    EXPECT_EQ((*harness.snapshot().results)[3].reason, "プロセスが失敗しました (status=1): Peak:       -1.0 dBFS");
    EXPECT_EQ((*harness.snapshot().results)[4].reason, "");
    EXPECT_EQ(loadPreviousMeta(dir / "volume_gains.csv.meta.json").size(), 5u);
}

// A carried row keeps its gain while it agrees with the target within 0.1 dB.
TEST(AnalyzeFile, CarriedRowsGetTheGainForTheCurrentTarget) {
    const MetaEntry stamp{100, 5'000'000'000};
    const struct {
        double storedGain, storedLufs, carriedGain;
    } cases[] = {{9, -23, 5}, {5.1, -23, 5.1}, {4.9, -23, 4.9}, {5.2, -23, 5}, {kNaN, -23, 5}, {3, kNaN, 0}};
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
        EXPECT_EQ(std::tie(carried->row->gain_db, carried->row->title), std::tie(c.carriedGain, "Old")) << c.storedGain;
    }
}

}  // namespace
}  // namespace quellmark
