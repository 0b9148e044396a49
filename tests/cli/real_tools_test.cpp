// quellmark-cli with the real ffmpeg and ffprobe on a few generated files.

#include <sys/stat.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "output/analyze_result.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace quellmark::test {
namespace {

// What each generated file measures, as ebur128 of Debian's ffmpeg 5.1 reports
// it: a 440 Hz tone at 1/8 of full scale reads -21.8 LUFS; the volume filter
// moves it by whole decibels. Gains are for targets -18 and -14 within ±12 dB.
const struct {
    const char* relativePath;
    const char* source;
    double lufs, gainAt18, gainAt14;
} kSamples[] = {
    {"quiet.flac", "sine=frequency=440:sample_rate=44100:duration=3,volume=-20dB", -41.8, 12, 12},
    {"plain.wav", "sine=frequency=440:sample_rate=44100:duration=3", -21.8, 3.8, 7.8},
    {"loud.ogg", "sine=frequency=880:sample_rate=48000:duration=3,volume=11dB", -10.3, -7.7, -3.7},
    {"Sub Folder/soft.mp3", "sine=frequency=440:sample_rate=44100:duration=3,volume=-5dB", -27.2, 9.2, 12},
};

TEST(RealTools, GainsFollowTheMeasuredLoudnessAndARetargetRunsNoTool) {
    if (!fs::exists("/usr/bin/ffmpeg") || !fs::exists("/usr/bin/ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir music, tools;
    for (const auto& sample : kSamples) {
        fs::create_directories((music / sample.relativePath).parent_path());
        const std::string command = "/usr/bin/ffmpeg -nostdin -loglevel error -y -f lavfi -i '" +
                                    std::string(sample.source) + "' '" + (music / sample.relativePath).string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    // Wrappers that log each run of the real tools.
    const fs::path log = tools / "tools.log";
    for (const std::string tool : {"ffmpeg", "ffprobe"}) {
        writeFile(tools / tool, "#!/bin/sh\necho \"" + tool + " $*\" >> '" + log.string() + "'\nexec /usr/bin/" + tool +
                                    " \"$@\"\n");
        ::chmod((tools / tool).c_str(), 0755);
    }
    const std::map<std::string, std::string> env{{"XDG_CONFIG_HOME", (tools / "config").string()}};
    const auto runAt = [&](const char* target) {
        const CliOutcome outcome =
            runCli({"--target", target, "--ffmpeg", (tools / "ffmpeg").string(), music.path().string()}, env);
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        return parsePreviousRows(readFile(music / "volume_gains.csv"));
    };

    const PreviousRows first = runAt("-18");
    const std::string logAfterFirst = readFile(log);
    EXPECT_EQ(countLines(logAfterFirst, "ffmpeg "), 4);
    EXPECT_EQ(countLines(logAfterFirst, "ffprobe "), 4);
    // Nothing changed on disk, only the target: every row is carried over
    // without a tool run, but no gain may stay on the old target.
    const PreviousRows second = runAt("-14");
    EXPECT_EQ(readFile(log), logAfterFirst) << "no tool ran in the incremental rerun";
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    for (const auto& sample : kSamples) {
        SCOPED_TRACE(sample.relativePath);
        const AnalyzeResult& before = first.at(sample.relativePath);
        EXPECT_EQ(before.status, "ok");
        EXPECT_EQ(before.duration_sec, 3);
        EXPECT_NEAR(before.measured_lufs, sample.lufs, 0.11);
        EXPECT_NEAR(before.gain_db, sample.gainAt18, 0.11);
        AnalyzeResult after = second.at(sample.relativePath);
        EXPECT_NEAR(after.gain_db, sample.gainAt14, 0.11);
        after.gain_db = before.gain_db;
        EXPECT_EQ(after, before) << "only the gain changes";
    }
}

}  // namespace
}  // namespace quellmark::test
