#include "engine/analyze_file.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "engine_run_support.h"
#include "output/csv_writer.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::ToolLog;
using test::writeFakeAudio;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(AnalyzeFileTest, GainIsClampedThenRoundedHalfAwayFromZero) {
    struct Case {
        double measured, target, clamp, gain;
    };
    const Case cases[] = {
        {-23.04, -14, 6, 6},       // 9.04 limited to the clamp
        {-20.25, -14, 10, 6.3},    // 6.25: the half goes up
        {-30, -18, 12, 12},        // exactly at the clamp
        {-5, -18, 12, -12},        // -13 limited from below
        {-18.04, -18, 12, 0},      // 0.04 rounds to zero
        {-17.96, -18, 12, 0},      // -0.04 must not become "-0"
        {-10, -18, 0, 0},          // a zero clamp yields -0 before rounding
        {-std::numeric_limits<double>::infinity(), -18, 12, 12},
        {kNaN, -18, 12, 0},        // no loudness: no correction
    };
    for (const auto& c : cases) {
        const double gain = gainFor(c.measured, c.target, c.clamp);
        EXPECT_DOUBLE_EQ(gain, c.gain) << c.measured << " " << c.target << " " << c.clamp;
        EXPECT_FALSE(std::signbit(gain) && gain == 0) << c.measured;
    }
}

TEST(AnalyzeFileTest, RoundsToTenthsHalfAwayFromZero) {
    const std::pair<double, double> cases[] = {
        {-23.04, -23}, {-20.25, -20.3}, {2.25, 2.3}, {-2.25, -2.3}, {0.05, 0.1}, {-0.05, -0.1},
        {183.24, 183.2}, {12.345, 12.3}, {-0.04, 0}, {0, 0},
    };
    for (auto [in, out] : cases) {
        EXPECT_DOUBLE_EQ(roundToTenth(in), out) << in;
        EXPECT_FALSE(std::signbit(roundToTenth(in)) && out == 0) << in;
    }
    EXPECT_TRUE(std::isnan(roundToTenth(kNaN)));
    EXPECT_EQ(roundToTenth(-std::numeric_limits<double>::infinity()), -std::numeric_limits<double>::infinity());
}

TEST(AnalyzeFileTest, RelativePathIsTheBytesAfterTheFolderPrefix) {
    struct Case {
        std::string file, folder, expected;
    };
    const Case cases[] = {
        {"/Music/Set/Disc 1/a.flac", "/Music/Set", "Disc 1/a.flac"},
        {"/Music/Set/a.flac", "/Music/Set/", "a.flac"},
        {"/Music/Set/x/y/z.wav", "/Music/Set", "x/y/z.wav"},
        {"/private/Music/Set/a.flac", "/Music/Set", "a.flac"},  // reached through another path
        {"/Music/Set/Caf\xE9.mp3", "/Music/Set", "Caf\xE9.mp3"},  // bytes kept, repaired later
        {"relative/dir/b.mp3", "relative/dir", "b.mp3"},
    };
    for (const auto& c : cases) EXPECT_EQ(makeRelativePath(c.file, c.folder), c.expected) << c.file;
}

// analyzeFile with a real writer and the stand-in tools; the "main thread" is
// the calling thread itself.
class DirectAnalysis : public ::testing::Test {
protected:
    void SetUp() override {
        ToolLog::reset();
        ASSERT_TRUE(writer.begin());
    }

    FileTaskContext context(const AppSettings& settings) {
        FileTaskContext c;
        c.folderPath = dir.path().native();
        c.settings = settings;
        c.previousRows = &previousRows;
        c.previousMeta = &previousMeta;
        c.ambiguousPaths = &ambiguous;
        c.onMainThread = [](std::function<void()> fn) { fn(); };
        c.writer = &writer;
        c.setCurrentFileName = [this](const std::string& name) { names.push_back(name); };
        c.countProcessed = [this](bool isError) {
            ++processed;
            errors += isError;
        };
        return c;
    }

    /// Installs what was written and reads it back.
    PreviousRows finishAndRead() {
        EXPECT_TRUE(writer.finish());
        return loadPreviousRows(dir / "volume_gains.csv");
    }

    TempDir dir;
    CSVWriter writer{dir / "volume_gains.csv"};
    PreviousRows previousRows;
    MetaMap previousMeta;
    std::set<std::string> ambiguous;
    std::vector<std::string> names;
    int processed = 0;
    int errors = 0;
};

TEST_F(DirectAnalysis, BuildsRowsFromTheToolsReports) {
    struct Case {
        std::string name, content;
        std::string status, title, artist;
        double duration, lufs, peak, gain;
    };
    // Target -14, clamp 6.
    const Case cases[] = {
        {"Intro.mp3", "lufs=-23.04\npeak=-1.04\nduration=12.345000\n", "ok", "Intro", "", 12.3, -23, -1, 6},
        {"tagged.flac", "lufs=-12.0\ntitle=Song\nartist=Band\n", "ok", "Song", "Band", 10, -12, -1, -2},
        {"a.tar.gz", "lufs=-14\n", "ok", "a.tar", "", 10, -14, -1, 0},
        {"x.", "lufs=-14\n", "ok", "x", "", 10, -14, -1, 0},
        {".hidden", "lufs=-14\n", "ok", ".hidden", "", 10, -14, -1, 0},
        {"short.wav", "lufs=-70.0\npeak=-3.0\nduration=0.300000\n", "ok", "short", "", 0.3, kNaN, -3, 0},
        {"adts.aac", "duration=238.000000\ndecoded=11.00\n", "ok", "adts", "", 11, -20, -1, 6},
        {"noprobe.ogg", "probe_exit=1\n", "ok", "noprobe", "", 10, -20, -1, 6},
        {"broken.mp3", "ffmpeg_exit=1\ntitle=Tagged\n", "error:decode_failed", "broken", "", kNaN, kNaN, kNaN, 0},
    };
    AppSettings settings = test::fakeToolSettings();
    settings.targetLUFS = -14;
    settings.clampDB = 6;
    for (const auto& c : cases) {
        writeFakeAudio(dir / c.name, c.content);
        ASSERT_TRUE(analyzeFile(dir / c.name, context(settings), {})) << c.name;
    }
    test::writeFile(dir / "garbage.mp3", "\x01\x02 not audio");
    ASSERT_TRUE(analyzeFile(dir / "garbage.mp3", context(settings), {}));

    const PreviousRows rows = finishAndRead();
    ASSERT_EQ(rows.size(), std::size(cases) + 1);
    const auto same = [](double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; };
    for (const auto& c : cases) {
        const AnalyzeResult& row = rows.at(c.name);
        EXPECT_EQ(row.file_name, c.name);
        EXPECT_EQ(row.status, c.status) << c.name;
        EXPECT_EQ(row.title, c.title) << c.name;
        EXPECT_EQ(row.artist, c.artist) << c.name;
        EXPECT_PRED2(same, row.duration_sec, c.duration) << c.name;
        EXPECT_PRED2(same, row.measured_lufs, c.lufs) << c.name;
        EXPECT_PRED2(same, row.true_peak_dbfs, c.peak) << c.name;
        EXPECT_PRED2(same, row.gain_db, c.gain) << c.name;
    }
    EXPECT_EQ(rows.at("garbage.mp3").status, "error:decode_failed");
    EXPECT_EQ(processed, static_cast<int>(std::size(cases)) + 1);
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(names.front(), "Intro.mp3");

    // Only measured "ok" rows are remembered.
    const MetaMap meta = loadPreviousMeta(dir / "volume_gains.csv.meta.json");
    EXPECT_TRUE(meta.contains("Intro.mp3"));
    EXPECT_TRUE(meta.contains("short.wav"));
    EXPECT_FALSE(meta.contains("broken.mp3"));
    EXPECT_FALSE(meta.contains("garbage.mp3"));
}

TEST_F(DirectAnalysis, CarriesOverOnlyAnUnchangedFileWithAGoodPreviousRow) {
    writeFakeAudio(dir / "a.mp3", "lufs=-30\n");
    const MetaEntry stamp = fileStamp(dir / "a.mp3");
    AnalyzeResult previous;
    previous.relative_path = "a.mp3";
    previous.file_name = "a.mp3";
    previous.title = "Old title";
    previous.duration_sec = 99.9;
    previous.measured_lufs = -23;
    previous.true_peak_dbfs = -0.5;
    previous.gain_db = 5;  // -18 - (-23)
    previous.status = "ok";

    struct Case {
        std::string what;
        AnalyzeResult row;
        MetaEntry meta;
        bool incremental = true;
        bool ambiguousPath = false;
        bool carried;
        double gain;
    };
    auto with = [&](auto change) {
        AnalyzeResult r = previous;
        change(r);
        return r;
    };
    const MetaEntry later{stamp.size, stamp.mtimeNs + 1'000'000'000};
    const MetaEntry larger{stamp.size + 1, stamp.mtimeNs};
    const Case cases[] = {
        {"unchanged", previous, stamp, true, false, true, 5},
        {"one second later", previous, later, true, false, false, 12},
        {"other size", previous, larger, true, false, false, 12},
        {"previous error", with([](auto& r) { r.status = "error:decode_failed"; }), stamp, true, false, false, 12},
        {"no silence columns", with([](auto& r) { r.hasSilenceMeasurement = false; }), stamp, true, false, false, 12},
        {"incremental off", previous, stamp, false, false, false, 12},
        {"two files, one key", previous, stamp, true, true, false, 12},
        {"gain for another target", with([](auto& r) { r.gain_db = 9; }), stamp, true, false, true, 5},
        {"gain within 0.1", with([](auto& r) { r.gain_db = 5.1; }), stamp, true, false, true, 5.1},
        {"no gain", with([](auto& r) { r.gain_db = kNaN; }), stamp, true, false, true, 5},
        {"no loudness", with([](auto& r) { r.measured_lufs = kNaN; }), stamp, true, false, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir folder;
        CSVWriter caseWriter(folder / "volume_gains.csv");
        ASSERT_TRUE(caseWriter.begin());
        fs::copy_file(dir / "a.mp3", folder / "a.mp3");
        fs::last_write_time(folder / "a.mp3", fs::last_write_time(dir / "a.mp3"));
        previousRows = {{"a.mp3", c.row}};
        previousMeta = {{"a.mp3", c.meta}};
        ambiguous = c.ambiguousPath ? std::set<std::string>{"a.mp3"} : std::set<std::string>{};
        AppSettings settings = test::fakeToolSettings();
        settings.incremental = c.incremental;
        FileTaskContext ctx = context(settings);
        ctx.folderPath = folder.path().native();
        ctx.writer = &caseWriter;
        ToolLog::reset();
        ASSERT_TRUE(analyzeFile(folder / "a.mp3", ctx, {}));
        ASSERT_TRUE(caseWriter.finish());

        const PreviousRows written = loadPreviousRows(folder / "volume_gains.csv");
        const AnalyzeResult& row = written.at("a.mp3");
        EXPECT_EQ(ToolLog::starts(), c.carried ? 0 : 2);
        EXPECT_EQ(row.title, c.carried ? "Old title" : "a");
        EXPECT_DOUBLE_EQ(row.gain_db, c.gain);
        if (c.carried) {
            EXPECT_DOUBLE_EQ(row.duration_sec, 99.9);
        }
        const MetaMap meta = loadPreviousMeta(folder / "volume_gains.csv.meta.json");
        EXPECT_EQ(meta.contains("a.mp3"), !c.ambiguousPath);
    }
}

}  // namespace
}  // namespace quellmark
