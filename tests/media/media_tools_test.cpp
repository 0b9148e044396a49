// The probe and the measurement against the real ffmpeg and ffprobe, over
// inputs generated with lavfi sources in a temporary folder.
#include <cmath>
#include <filesystem>
#include <limits>
#include <numeric>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/loudness.h"
#include "media/metadata_probe.h"
#include "media/process_runner.h"
#include "media/tool_locator.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Args = std::vector<std::string>;
const std::string kToolsDir = QUELLMARK_TEST_TOOLS_DIR;
const std::string kDataDir = QUELLMARK_TEST_DATA_DIR;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sources as lavfi inputs: stereo silence and a 1 kHz tone at the sine source's default level.
Args silence(double sec) { return {"-f", "lavfi", "-i", "anullsrc=r=48000:cl=stereo:d=" + std::to_string(sec)}; }
Args tone(double sec) { return {"-f", "lavfi", "-i", "sine=f=1000:r=48000:d=" + std::to_string(sec)}; }

// The tools' command lines, spelled out: the probe and the measurement must pass
// exactly these, and the stand-ins are checked against the real output for them.
Args probeArgs(const std::string& file) {
    return {"-v", "error", "-select_streams", "a:0", "-print_format", "json", "-show_entries",
            "format=duration:format_tags=title,artist,album,date:stream_tags=title,artist", file};
}
Args measureArgs(const std::string& file) {
    return {"-nostdin", "-hide_banner", "-nostats", "-i", file, "-vn", "-af",
            "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true", "-f", "null", "-"};
}

class MediaTools : public ::testing::Test {
protected:
    /// Runs ffmpeg with `inputs`, a -filter_complex `filter` (may be empty) and `options` into `out`.
    void generate(const std::vector<Args>& inputs, const std::string& filter, const Args& options,
                  const fs::path& out) {
        const auto ffmpeg = locateTool("ffmpeg", std::nullopt);
        ASSERT_TRUE(ffmpeg.has_value()) << "ffmpeg is needed for these tests";
        Args args = {"-nostdin", "-loglevel", "error"};
        for (const auto& input : inputs) args.insert(args.end(), input.begin(), input.end());
        if (!filter.empty()) args.insert(args.end(), {"-filter_complex", filter});
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"-y", out.string()});
        const auto result = runProcess(*ffmpeg, args, 60);
        ASSERT_TRUE(result.has_value()) << result.error().description();
    }

    test::TempDir m_dir;
};

// Loudness, silence at the ends, the length of the stream and the tags, each
// measured with the probe's duration as the per-file analysis does.
TEST_F(MediaTools, MeasuresGeneratedFiles) {
    const std::string sts = "[1]pan=stereo|c0=c0|c1=c0[t];[0][t][2]concat=n=3:v=0:a=1";  // silence, tone, silence
    const std::vector<Args> both = {silence(2), tone(3), silence(3)};
    // A 1 kHz sine whose peak is -23 dBFS on both channels reads -23 LUFS.
    const std::string sine = "0.0707946*sin(2*PI*1000*t)";
    const auto tags = [](const char* title, const char* artist) {
        return Args{"-metadata", std::string(title), "-metadata", std::string(artist)};
    };
    const auto with = [](Args a, const Args& b) { return a.insert(a.end(), b.begin(), b.end()), a; };
    // loudness 0: any finite value. Silent, click-first and too brief files are read from their captures.
    const struct {
        const char* name; std::vector<Args> inputs; std::string filter; Args options;
        double loudness, leading, trailing, durationSec;
        const char* title = "";
        const char* artist = "";
    } cases[] = {
        {"reference.wav", {{"-f", "lavfi", "-i", "aevalsrc=" + sine + "|" + sine + ":s=48000:d=5"}}, "", {}, -23, 0, 0, 5},
        {"both.flac", both, sts, tags("TITLE=Title ", "ARTIST=Artist"), 0, 2, 3, 8, "Title", "Artist"},
        {"both.mp3", both, sts, with({"-ar", "44100"}, tags("title= Title \n", "artist=\tArtist ")), 0, 2, 3, 8, "Title",
         "Artist"},
        {"both-8k.mp3", both, sts, {"-ar", "8000"}, 0, 2, 3, 8},
        {"both.m4a", both, sts, {"-c:a", "aac"}, 0, 2, 3, 8},
        {"both.opus", both, sts, with({"-c:a", "libopus"}, tags("title=Title", "artist= Artist")), 0, 2, 3, 8, "Title",
         "Artist"},
        {"tags.ogg", {tone(1)}, "", with({"-c:a", "libvorbis"}, tags("title= Title \n", "artist=Artist")), 0, 0, 0, 1,
         "Title", "Artist"},
        // ffprobe estimates an ADTS stream's duration from its bitrate; the decoded length corrects it.
        {"stream.aac", both, sts, {"-c:a", "aac"}, 0, 2, 3, 8},
        {"short-tone.wav", {silence(2), tone(0.2), silence(0)}, sts, {}, 0, 2, 0, 2.2},
        // ffmpeg echoes the name and the title in its header; neither is a silence.
        {"-caf\xE9 $(x) silence_start: 0.01.wav", {tone(1)}, "", {"-metadata", "title=silence_start: 0.01"}, 0, 0, 0,
         1, "silence_start: 0.01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        generate(c.inputs, c.filter, c.options, m_dir / c.name);
        const auto probe = probeMetadata(m_dir / c.name, std::nullopt);
        ASSERT_TRUE(probe.has_value()) << probe.error().description();
        EXPECT_EQ(probe->title + "|" + probe->artist, std::string(c.title) + "|" + c.artist);
        if (c.name == std::string("stream.aac")) { ASSERT_GT(std::abs(probe->durationSec - 8.0), 0.5) << "estimate right"; }
        const auto m = measureLoudness(m_dir / c.name, std::nullopt, probe->durationSec);
        ASSERT_TRUE(m.has_value()) << m.error().description();
        EXPECT_TRUE(std::isfinite(m->integratedLUFS) && std::isfinite(m->truePeakDBFS)) << m->integratedLUFS;
        if (c.loudness == -23) {
            EXPECT_NEAR(m->integratedLUFS, -23.0, 0.1);
            EXPECT_NEAR(m->truePeakDBFS, -23.0, 0.2);
        }
        EXPECT_NEAR(m->leadingSilenceSec, c.leading, 0.1);
        EXPECT_NEAR(m->trailingSilenceSec, c.trailing, 0.1);
        // MP3 encoders pad the end by up to a quarter second at low rates.
        EXPECT_NEAR(effectiveDuration(probe->durationSec, m->decodedSec), c.durationSec, 0.25);
    }
}

// Two MP3s of different rates joined end to end fail ebur128's summary; the
// captured report of that case is read in the loudness report tests.
TEST_F(MediaTools, UndecodableBytesFail) {
    std::mt19937 random(7);
    std::string bytes;
    for (int i = 0; i < 4096; ++i) bytes += static_cast<char>(random() % 256);
    test::writeFile(m_dir / "noise.mp3", bytes);
    const auto probe = probeMetadata(m_dir / "noise.mp3", std::nullopt);
    const auto m = measureLoudness(m_dir / "noise.mp3", std::nullopt, kNaN);
    ASSERT_TRUE(!probe && !m);
    for (const auto& error : {probe.error(), m.error()}) {
        EXPECT_TRUE(error.description().starts_with("プロセスが失敗しました (status=")) << error.description();
    }
}

// Stand-ins that record their arguments, NUL-separated, and print a minimal report
// of the real tool's shape: a name a shell or an option parser would take apart
// reaches the tools as one argument, with the options that keep cover art out.
TEST_F(MediaTools, ToolsGetExactlyTheirArguments) {
    const auto tool = [&](const char* name, const std::string& print) {
        test::writeFile(m_dir / name, "#!/bin/sh\nprintf '%s\\0' \"$@\" > \"$0.args\"\n" + print + "\n");
        fs::permissions(m_dir / name, fs::perms::owner_all);
        return m_dir / name;
    };
    const auto recorded = [](const Args& args) {  // as the stand-ins write them
        return std::accumulate(args.begin(), args.end(), ""s, [](std::string s, const auto& a) { return s + a + '\0'; });
    };
    const auto ffprobe = tool("ffprobe", R"(printf '{"format":{"duration":"1.5"}}')");
    const auto ffmpeg = tool("ffmpeg", "printf '    I:  -23.0 LUFS\\n    Peak: -1.0 dBFS\\n' >&2");
    const auto file = m_dir / "-it's \"q\" $(touch pwned) caf\xE9.wav";
    test::writeFile(file, "not audio");
    const auto probe = probeMetadata(file, ffprobe.string());
    ASSERT_TRUE(probe.has_value()) << probe.error().description();
    EXPECT_EQ(probe->durationSec, 1.5);
    EXPECT_EQ(test::readFile(ffprobe.string() + ".args"), recorded(probeArgs(file.string())));
    const auto m = measureLoudness(file, ffmpeg.string(), 1.5);
    ASSERT_TRUE(m.has_value()) << m.error().description();
    EXPECT_EQ(m->integratedLUFS, -23.0);
    EXPECT_EQ(test::readFile(ffmpeg.string() + ".args"), recorded(measureArgs(file.string())));
    EXPECT_FALSE(fs::exists(m_dir / "pwned"));
}

TEST_F(MediaTools, MissingToolsAreNamed) {
    // With nothing on the search path and nothing configured, neither tool is found.
    for (const auto& dir : toolSearchDirectories()) {
        if (fs::exists(fs::path(dir) / "ffmpeg") || fs::exists(fs::path(dir) / "ffprobe")) {
            GTEST_SKIP() << "a tool is installed in " << dir;
        }
    }
    test::ScopedEnv path("PATH", (m_dir / "empty").c_str());
    const auto missing = (m_dir / "none" / "ffmpeg").string();
    const auto probe = probeMetadata(m_dir / "a.wav", missing);
    const auto m = measureLoudness(m_dir / "a.wav", missing, 1.0);
    EXPECT_TRUE(!probe && probe.error() == Error(JobError::binaryNotFound("ffprobe")));
    EXPECT_TRUE(!m && m.error() == Error(JobError::binaryNotFound("ffmpeg")));
}

// The stand-in tools in tests/tools must print what the real ones print, or every
// test built on them checks the parsers against a fiction. How each key shapes the
// output is left to the tests that use the key.
ProcessRun runStandIns(const std::string& file, ProcessRun& probe) {
    probe = runProcessCollectingStatus(kToolsDir + "/ffprobe", probeArgs(file), 60).value();
    return runProcessCollectingStatus(kToolsDir + "/ffmpeg", measureArgs(file), 60).value();
}

// The lines of a report that carry the measurement: silencedetect's, the
// final progress line and the summary block, with pointer values masked.
std::string measurementLines(const std::string& report) {
    static const std::regex pointer("0x[0-9a-f]+");
    std::istringstream lines(report);
    std::string kept;
    bool isInSummary = false;
    for (std::string line; std::getline(lines, line);) {
        isInSummary = isInSummary || line.find("] Summary:") != std::string::npos;
        if (isInSummary || line.starts_with("[silencedetect") || line.starts_with("size=")) {
            kept += std::regex_replace(line, pointer, "0x?") + "\n";
        }
    }
    return kept;
}

TEST(StandIns, PrintAndFailWhatTheRealToolsPrint) {
    test::TempDir dir;
    const auto file = (dir / "tone.flac").string();
    // The numbers of the captured tone.flac.
    test::writeFile(file,
                    "QMFAKE\nlufs=-32.6\npeak=-32.2\nduration=11.000000\ntitle=Test Tone\nartist=Quellmark Lab\n"
                    "silence_start=0\nsilence_end=2.00007\nsilence_start=7.99995\nsilence_end=11\n");
    ProcessRun probe;
    const auto measure = runStandIns(file, probe);
    EXPECT_TRUE(probe.status == 0 && measure.status == 0 && measure.stdoutBytes.empty());
    EXPECT_EQ(probe.stdoutBytes, test::readFile(kDataDir + "/ffprobe-tags.json"));
    const auto expected = measurementLines(test::readFile(kDataDir + "/ffmpeg-report-silence-both-ends.txt"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(measurementLines(measure.stderrBytes), expected);

    test::writeFile(dir / "garbage.mp3", "\x00\xFF\xFB\x90\n\x01QMFAKE\n"s);
    test::writeFile(dir / "empty.wav", "");
    test::writeFile(dir / "almost.flac", "QMFAKE2\nlufs=-10\n");
    for (const char* name : {"garbage.mp3", "empty.wav", "almost.flac", "missing.flac"}) {
        SCOPED_TRACE(name);
        const auto bad = (dir / name).string();
        const auto failed = runStandIns(bad, probe);
        EXPECT_TRUE(probe.status == 1 && failed.status == 1);
        EXPECT_EQ(probe.stdoutBytes, test::readFile(kDataDir + "/ffprobe-undecodable.json"));
        EXPECT_TRUE(probe.stderrBytes.starts_with(bad + ": ") && failed.stderrBytes.starts_with(bad + ": "))
            << probe.stderrBytes << failed.stderrBytes;
    }
}

}  // namespace
}  // namespace quellmark
