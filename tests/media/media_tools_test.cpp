// The probe and the measurement against the real ffmpeg and ffprobe, over
// inputs generated with lavfi sources in a temporary folder.
#include <cmath>
#include <filesystem>
#include <limits>
#include <cstdlib>
#include <random>
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
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sources as lavfi inputs: silence, a 1 kHz tone at the sine source's default
// level, and the same in stereo.
std::vector<std::string> silence(double sec, int rate = 48000) {
    return {"-f", "lavfi", "-i", "anullsrc=r=" + std::to_string(rate) + ":cl=stereo:d=" + std::to_string(sec)};
}
std::vector<std::string> tone(double sec, int rate = 48000) {
    return {"-f", "lavfi", "-i", "sine=f=1000:r=" + std::to_string(rate) + ":d=" + std::to_string(sec)};
}

class MediaTools : public ::testing::Test {
protected:
    /// Runs ffmpeg with `inputs`, `filter` (a -filter_complex, may be empty) and
    /// `outputOptions` into `out`.
    void generate(const std::vector<std::vector<std::string>>& inputs, const std::string& filter,
                  const std::vector<std::string>& outputOptions, const fs::path& out) {
        const auto ffmpeg = locateTool("ffmpeg", std::nullopt);
        ASSERT_TRUE(ffmpeg.has_value()) << "ffmpeg is needed for these tests";
        std::vector<std::string> args = {"-nostdin", "-loglevel", "error"};
        for (const auto& input : inputs) args.insert(args.end(), input.begin(), input.end());
        if (!filter.empty()) args.insert(args.end(), {"-filter_complex", filter});
        args.insert(args.end(), outputOptions.begin(), outputOptions.end());
        args.insert(args.end(), {"-y", out.string()});
        const auto result = runProcess(*ffmpeg, args, 60);
        ASSERT_TRUE(result.has_value()) << result.error().description();
    }

    /// Probe, then measure with the probe's duration, as the per-file analysis does.
    Result<LoudnessMeasurement> measure(const fs::path& file) {
        const auto probe = probeMetadata(file, std::nullopt);
        return measureLoudness(file, std::nullopt, probe ? probe->durationSec : kNaN);
    }

    test::TempDir m_dir;
};

// One table over generated files: loudness, silence at the ends and the length
// of the stream, each measured with the probe's duration as the analysis does.
TEST_F(MediaTools, MeasuresGeneratedFiles) {
    const std::string sts = "[1]pan=stereo|c0=c0|c1=c0[t];[0][t][2]concat=n=3:v=0:a=1";  // silence, tone, silence
    const std::vector<std::vector<std::string>> both = {silence(2), tone(3), silence(3)};
    // A 1 kHz sine whose peak is -23 dBFS on both channels reads -23 LUFS.
    const std::string sine = "0.0707946*sin(2*PI*1000*t)";
    // One loud sample, 2 s of digital silence, then a tone: silencedetect reports
    // the silence as starting a few samples in, in exponent form.
    const std::vector<std::string> click = {"-f", "lavfi", "-i", "aevalsrc=if(eq(n\\,0)\\,0.9\\,0):s=48000:d=2"};
    struct {
        const char* name;
        std::vector<std::vector<std::string>> inputs;
        std::string filter;
        std::vector<std::string> options;
        double loudness;  // NaN: none; 0: any finite value
        double leading, trailing, durationSec;
    } const cases[] = {
        {"reference.wav", {{"-f", "lavfi", "-i", "aevalsrc=" + sine + "|" + sine + ":s=48000:d=5"}}, "", {}, -23, 0, 0, 5},
        {"both.wav", both, sts, {}, 0, 2, 3, 8},
        {"both.flac", both, sts, {}, 0, 2, 3, 8},
        {"both.mp3", both, sts, {"-ar", "44100"}, 0, 2, 3, 8},
        {"both-8k.mp3", both, sts, {"-ar", "8000"}, 0, 2, 3, 8},
        {"both.m4a", both, sts, {"-c:a", "aac"}, 0, 2, 3, 8},
        {"both.opus", both, sts, {"-c:a", "libopus"}, 0, 2, 3, 8},
        // ffprobe estimates an ADTS stream's duration from its bitrate; the decoded length corrects it.
        {"stream.aac", both, sts, {"-c:a", "aac"}, 0, 2, 3, 8},
        {"silent.flac", {silence(3)}, "", {}, kNaN, 0, 3, 3},
        {"short-tone.wav", {silence(2), tone(0.2), silence(0)}, sts, {}, 0, 2, 0, 2.2},
        {"click.wav", {click, tone(1)}, "[0][1]concat=n=2:v=0:a=1", {}, 0, 2, 0, 3},
        // Shorter than one 400 ms block: no loudness, but a peak and no failure.
        {"brief.wav", {tone(0.3)}, "", {}, kNaN, 0, 0, 0.3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        generate(c.inputs, c.filter, c.options, m_dir / c.name);
        const auto probe = probeMetadata(m_dir / c.name, std::nullopt);
        ASSERT_TRUE(probe.has_value()) << probe.error().description();
        if (c.name == std::string("stream.aac")) { ASSERT_GT(std::abs(probe->durationSec - 8.0), 0.5) << "estimate right"; }
        const auto m = measureLoudness(m_dir / c.name, std::nullopt, probe->durationSec);
        ASSERT_TRUE(m.has_value()) << m.error().description();
        EXPECT_EQ(std::isnan(m->integratedLUFS), std::isnan(c.loudness)) << m->integratedLUFS;
        if (c.loudness != 0 && !std::isnan(c.loudness)) { EXPECT_NEAR(m->integratedLUFS, c.loudness, 0.1); }
        if (c.loudness == -23) { EXPECT_NEAR(m->truePeakDBFS, -23.0, 0.2); }
        EXPECT_TRUE(std::isfinite(m->truePeakDBFS) || c.name == std::string("silent.flac"));
        EXPECT_NEAR(m->leadingSilenceSec, c.leading, 0.1);
        EXPECT_NEAR(m->trailingSilenceSec, c.trailing, 0.1);
        // MP3 encoders pad the end by up to a quarter second at low rates.
        EXPECT_NEAR(effectiveDuration(probe->durationSec, m->decodedSec), c.durationSec, 0.25);
    }
}

// Two MP3s of different rates and levels joined end to end: ebur128 restarts
// and reports each segment on its own.
TEST_F(MediaTools, JoinedSegmentsOfDifferentLoudnessFail) {
    const auto first = m_dir / "first.mp3";
    const auto second = m_dir / "second.mp3";
    generate({tone(3, 44100)}, "", {"-ac", "2"}, first);
    generate({tone(3, 22050)}, "", {"-af", "volume=-25dB", "-ac", "1"}, second);
    const auto joined = m_dir / "joined.mp3";
    test::writeFile(joined, test::readFile(first) + test::readFile(second));
    const auto failed = measure(joined);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().description(), "ebur128 の解析結果を読み取れませんでした");
}

TEST_F(MediaTools, ReadsTrimmedTitleAndArtist) {
    struct {
        const char* name;
        std::vector<std::string> options;
    } const cases[] = {
        {"tags.mp3", {"-metadata", "title= Spaced Title \n", "-metadata", "artist=\tSome Artist "}},
        {"tags.ogg", {"-c:a", "libvorbis", "-metadata", "title= Spaced Title \n", "-metadata", "artist=Some Artist"}},
        {"tags.opus", {"-c:a", "libopus", "-metadata", "title=Spaced Title", "-metadata", "artist= Some Artist"}},
        {"tags.flac", {"-metadata", "TITLE=Spaced Title ", "-metadata", "ARTIST=Some Artist"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = m_dir / c.name;
        generate({tone(1)}, "", c.options, file);
        const auto probe = probeMetadata(file, std::nullopt);
        ASSERT_TRUE(probe.has_value()) << probe.error().description();
        EXPECT_EQ(probe->title, "Spaced Title");
        EXPECT_EQ(probe->artist, "Some Artist");
        EXPECT_NEAR(probe->durationSec, 1.0, 0.05);
    }
}

TEST_F(MediaTools, UndecodableFileFailsWithTheToolsStatus) {
    const auto file = m_dir / "noise.mp3";
    std::mt19937 random(7);
    std::string bytes;
    for (int i = 0; i < 4096; ++i) bytes += static_cast<char>(random() % 256);
    test::writeFile(file, bytes);
    const auto probe = probeMetadata(file, std::nullopt);
    ASSERT_FALSE(probe.has_value());
    EXPECT_TRUE(probe.error().description().starts_with("プロセスが失敗しました (status=")) << probe.error().description();
    const auto m = measureLoudness(file, std::nullopt, kNaN);
    ASSERT_FALSE(m.has_value());
    EXPECT_TRUE(m.error().description().starts_with("プロセスが失敗しました (status=")) << m.error().description();
}

// Names that a shell or an option parser would take apart.
const char* const kAwkwardNames[] = {
    "with space.wav", "it's \"quoted\".wav", "$(touch pwned).wav", "-leading-dash.wav", "caf\xE9 latin1.wav",
};

TEST_F(MediaTools, AwkwardNameAndEchoedSilenceTextMeasureLikeAnyOther) {
    // ffmpeg echoes the name and the title in its header; neither is a silence.
    const auto plain = m_dir / "plain.wav";
    generate({tone(1)}, "", {"-metadata", "title=silence_start: 0.01"}, plain);
    const auto awkward = m_dir / "-caf\xE9 $(x) silence_start: 0.01.wav";
    fs::copy_file(plain, awkward);
    const auto expected = measure(plain);
    ASSERT_TRUE(expected.has_value());
    const auto probe = probeMetadata(awkward, std::nullopt);
    ASSERT_TRUE(probe.has_value()) << probe.error().description();
    EXPECT_EQ(probe->title, "silence_start: 0.01");
    const auto m = measureLoudness(awkward, std::nullopt, probe->durationSec);
    ASSERT_TRUE(m.has_value()) << m.error().description();
    EXPECT_EQ(m->integratedLUFS, expected->integratedLUFS);
    EXPECT_EQ(m->leadingSilenceSec, 0);
    EXPECT_EQ(m->trailingSilenceSec, 0);
}

// A stand-in tool that records its arguments, NUL-separated, and prints a
// minimal report of the real tool's shape (`redirect` " >&2" for standard error).
fs::path writeRecordingTool(const fs::path& dir, const std::string& name, const std::string& report,
                            const std::string& redirect = "") {
    const auto tool = dir / name;
    test::writeFile(tool, "#!/bin/sh\nprintf '%s\\0' \"$@\" > \"$0.args\"\nprintf '" + report + "'" + redirect + "\n");
    fs::permissions(tool, fs::perms::owner_all);
    return tool;
}

std::vector<std::string> recordedArguments(const fs::path& tool) {
    const std::string bytes = test::readFile(tool.string() + ".args");
    std::vector<std::string> args;
    size_t start = 0;
    for (size_t nul; (nul = bytes.find('\0', start)) != std::string::npos; start = nul + 1) {
        args.push_back(bytes.substr(start, nul - start));
    }
    return args;
}

TEST_F(MediaTools, ToolsGetExactlyTheirArguments) {
    const auto ffprobe = writeRecordingTool(m_dir.path(), "ffprobe", R"({"format":{"duration":"1.5"}})");
    const auto ffmpeg = writeRecordingTool(m_dir.path(), "ffmpeg", "    I:  -23.0 LUFS\\n    Peak: -1.0 dBFS\\n", " >&2");
    for (const char* name : kAwkwardNames) {
        SCOPED_TRACE(name);
        const auto file = m_dir / name;
        test::writeFile(file, "not audio");
        const std::string path = file.string();

        const auto probe = probeMetadata(file, ffprobe.string());
        ASSERT_TRUE(probe.has_value()) << probe.error().description();
        EXPECT_EQ(probe->durationSec, 1.5);
        const std::vector<std::string> probeArgs = {
            "-v", "error", "-select_streams", "a:0", "-print_format", "json", "-show_entries",
            "format=duration:format_tags=title,artist,album,date:stream_tags=title,artist", path};
        EXPECT_EQ(recordedArguments(ffprobe), probeArgs);

        const auto m = measureLoudness(file, ffmpeg.string(), 1.5);
        ASSERT_TRUE(m.has_value()) << m.error().description();
        EXPECT_EQ(m->integratedLUFS, -23.0);
        const std::vector<std::string> ffmpegArgs = {
            "-nostdin", "-hide_banner", "-nostats", "-i", path, "-vn", "-af",
            "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true", "-f", "null", "-"};
        EXPECT_EQ(recordedArguments(ffmpeg), ffmpegArgs);
    }
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
    ASSERT_FALSE(probe.has_value());
    EXPECT_EQ(probe.error(), Error(JobError::binaryNotFound("ffprobe")));
    ASSERT_FALSE(m.has_value());
    EXPECT_EQ(m.error(), Error(JobError::binaryNotFound("ffmpeg")));
}

}  // namespace
}  // namespace quellmark
