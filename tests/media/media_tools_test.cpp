// The probe and the measurement as whole runs: their command lines, their time
// limits, and their failures with the real tools.
#include <filesystem>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/loudness.h"
#include "media/metadata_probe.h"
#include "media/tool_locator.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Args = std::vector<std::string>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The tools' command lines, spelled out: the probe and the measurement must pass exactly these.
Args probeArgs(const std::string& file) {
    return {"-v", "error", "-select_streams", "a:0", "-print_format", "json", "-show_entries",
            "format=duration:format_tags=title,artist,album,date:stream_tags=title,artist", file};
}
Args measureArgs(const std::string& file) {
    return {"-nostdin", "-hide_banner", "-nostats", "-i", file, "-vn", "-af",
            "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true", "-f", "null", "-"};
}

/// An executable /bin/sh script `body` at `path`.
fs::path script(const fs::path& path, const std::string& body) {
    test::writeFile(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

// A stand-in ffmpeg that prints what `script` prints, then a summary of -23 LUFS.
// Limits are small here: quiet 0.5 s, ceiling 0.5 s plus the duration, 0.8 s without one.
TEST(MediaTools, LoudnessRunLimitsCountFromTheLastOutput) {
    const test::TempDir dir;
    const std::string frame = "[Parsed_ebur128_1 @ 0x55d] t: 1.2  TARGET:-23 LUFS    M: -22.1 S: -22.5     I: -22.0 LUFS";
    const std::string stopped = "プロセスが失敗しました (status=15): ";
    const struct { const char* what; std::string script; double durationSec; std::string reason; } cases[] = {
        {"writes for longer than the quiet limit", "for i in $(seq 15); do echo t=$i >&2; sleep 0.1; done", 600, ""},
        {"writes, then goes quiet", "echo started >&2; sleep 30", 600, stopped + "0.5 秒間出力がなかったため停止しました"},
        // "Forever": 10 s, so that a run the ceiling misses fails instead of hanging.
        {"writes forever", "for i in $(seq 200); do echo t=$i >&2; sleep 0.05; done", 0.5,
         stopped + "上限時間 (1 秒) に達したため停止しました"},
        {"writes forever, duration unknown", "for i in $(seq 200); do echo t=$i >&2; sleep 0.05; done", kNaN,
         stopped + "上限時間 (0.8 秒) に達したため停止しました"},
        // Some 270 MB of report, held only line by line (bench/long.sh measures the memory).
        {"floods its report", "yes '" + frame + "' | head -n 3000000 >&2", 600, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto ffmpeg = script(dir / "ffmpeg", c.script + "\nprintf '    I:  -23.0 LUFS\\n' >&2");
        const auto m = measureLoudness(dir / "a.wav", ffmpeg.string(), c.durationSec, {0.5, 0.5, 0.8});
        EXPECT_EQ(m ? "" : m.error().reason(), c.reason);
        if (m) { EXPECT_EQ(m->integratedLUFS, -23.0); }
    }
}

// Stand-ins that record their arguments, NUL-separated, and print a minimal report
// of the real tool's shape: a name a shell or an option parser would take apart
// reaches the tools as one argument, with the options that keep cover art out.
TEST(MediaTools, ToolsGetExactlyTheirArguments) {
    const test::TempDir dir;
    const auto recorded = [](const Args& args) {  // as the stand-ins write them
        return std::accumulate(args.begin(), args.end(), ""s, [](std::string s, const auto& a) { return s + a + '\0'; });
    };
    const std::string record = "printf '%s\\0' \"$@\" > \"$0.args\"\n";
    const auto ffprobe = script(dir / "ffprobe", record + R"(printf '{"format":{"duration":"1.5"}}')");
    const auto ffmpeg = script(dir / "ffmpeg", record + "printf '    I:  -23.0 LUFS\\n    Peak: -1.0 dBFS\\n' >&2");
    const auto file = dir / "-it's \"q\" $(touch pwned) caf\xE9.wav";
    test::writeFile(file, "not audio");
    const auto probe = probeMetadata(file, ffprobe.string());
    const auto m = measureLoudness(file, ffmpeg.string(), 1.5);
    ASSERT_TRUE(probe && m);
    EXPECT_TRUE(probe->durationSec == 1.5 && m->integratedLUFS == -23.0);
    EXPECT_EQ(test::readFile(ffprobe.string() + ".args"), recorded(probeArgs(file.string())));
    EXPECT_EQ(test::readFile(ffmpeg.string() + ".args"), recorded(measureArgs(file.string())));
    EXPECT_FALSE(fs::exists(dir / "pwned"));
}

// A file the real tools cannot read: the reason ends with the tool's own last word on it.
TEST(MediaTools, RealToolsFailWithTheirOwnLastWord) {
    const test::TempDir dir;
    const auto bad = (dir / "garbage.mp3").string();
    test::writeFile(bad, "\x00\xFF\xFB\x90\n\x01not audio\n"s);
    const ToolPaths tools = locateTools(std::nullopt);
    const auto probe = probeMetadata(bad, tools.ffprobe);
    const auto m = measureLoudness(bad, tools.ffmpeg, kNaN);
    for (const auto& error : {probe.error(), m.error()}) {
        EXPECT_TRUE(error.reason().starts_with("プロセスが失敗しました (status=1): " + bad + ": ")) << error.reason();
    }
}

}  // namespace
}  // namespace quellmark
