// quellmark-cli with the real ffmpeg and ffprobe on a few generated files.

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace quellmark::test {
namespace {

const fs::path kRealFfmpeg = "/usr/bin/ffmpeg";
const fs::path kRealFfprobe = "/usr/bin/ffprobe";

// What each generated file measures, as ebur128 of Debian's ffmpeg 5.1 reports
// it: a 440 Hz tone at 1/8 of full scale reads -21.8 LUFS; the volume filter
// moves it by whole decibels.
struct Sample {
    const char* relativePath;
    const char* source;
    int expectedTenthsLufs;
};
const std::vector<Sample> kSamples = {
    {"quiet.flac", "sine=frequency=440:sample_rate=44100:duration=3,volume=-20dB", -418},
    {"plain.wav", "sine=frequency=440:sample_rate=44100:duration=3", -218},
    {"loud.ogg", "sine=frequency=880:sample_rate=48000:duration=3,volume=11dB", -103},
    {"Sub Folder/soft.mp3", "sine=frequency=440:sample_rate=44100:duration=3,volume=-5dB", -272},
};

/// "-41.8" → -418, "12" → 120. Only the one-decimal form the CSV uses.
int tenths(const std::string& text) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::string digits = negative ? text.substr(1) : text;
    const std::size_t point = digits.find('.');
    int value = std::stoi(digits.substr(0, point)) * 10;
    if (point != std::string::npos) value += digits.at(point + 1) - '0';
    return negative ? -value : value;
}

/// -38 → "-3.8", 120 → "12", -5 → "-0.5".
std::string fromTenths(int value) {
    const std::string sign = value < 0 ? "-" : "";
    const int magnitude = value < 0 ? -value : value;
    std::string text = sign + std::to_string(magnitude / 10);
    if (magnitude % 10 != 0) text += "." + std::to_string(magnitude % 10);
    return text;
}

/// Target minus loudness, limited to ±clamp, all in tenths: the loudness
/// column already has one decimal, so no rounding is involved.
std::string expectedGain(int targetTenths, int clampTenths, const std::string& measured) {
    int gain = targetTenths - tenths(measured);
    if (gain < -clampTenths) gain = -clampTenths;
    if (gain > clampTenths) gain = clampTenths;
    return fromTenths(gain);
}

void writeWrapper(const fs::path& path, const fs::path& real, const fs::path& log) {
    writeFile(path, "#!/bin/sh\necho \"" + path.filename().string() + " $*\" >> '" + log.string() + "'\nexec '" +
                        real.string() + "' \"$@\"\n");
    chmod(path.c_str(), 0755);
}

class RealToolsTest : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kRealFfmpeg) || !fs::exists(kRealFfprobe)) GTEST_SKIP() << "ffmpeg is not installed";
        for (const Sample& sample : kSamples) {
            const fs::path target = m_music / sample.relativePath;
            fs::create_directories(target.parent_path());
            const std::string command = "'" + kRealFfmpeg.string() + "' -nostdin -loglevel error -y -f lavfi -i '" +
                                        sample.source + "' '" + target.string() + "'";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
        writeWrapper(m_tools / "ffmpeg", kRealFfmpeg, m_log);
        writeWrapper(m_tools / "ffprobe", kRealFfprobe, m_log);
    }

    std::map<std::string, std::string> env() const { return {{"XDG_CONFIG_HOME", m_config.path().string()}}; }

    /// Checks every row against `targetTenths` and the default ±12 dB clamp.
    void expectGainsFor(int targetTenths, const std::string& csv) const {
        const auto rows = csvRows(csv);
        ASSERT_EQ(rows.size(), kSamples.size()) << csv;
        for (const auto& row : rows) {
            ASSERT_EQ(row.size(), 11U);
            SCOPED_TRACE(row[0]);
            EXPECT_EQ(row[8], "ok");
            EXPECT_EQ(row[7], expectedGain(targetTenths, 120, row[5]));
        }
    }

    TempDir m_config;
    TempDir m_music;
    TempDir m_tools;
    fs::path m_log = m_tools / "tools.log";
};

TEST_F(RealToolsTest, GainsFollowTheMeasuredLoudnessAndARetargetRunsNoTool) {
    const std::string folder = m_music.path().string();
    const std::string wrapper = (m_tools / "ffmpeg").string();
    const CliOutcome first = runCli({"--target", "-18", "--ffmpeg", wrapper, folder}, env());
    ASSERT_EQ(first.exitStatus, 0) << first.err;
    const std::string firstCsv = readFile(m_music / "volume_gains.csv");
    expectGainsFor(-180, firstCsv);
    for (const auto& row : csvRows(firstCsv)) {
        for (const Sample& sample : kSamples) {
            if (row[0] != sample.relativePath) continue;
            // Within a tenth of what this tone is known to measure.
            EXPECT_NEAR(tenths(row[5]), sample.expectedTenthsLufs, 1) << row[0];
            EXPECT_EQ(row[4], "3") << row[0];
        }
    }
    const std::string logAfterFirst = readFile(m_log);
    EXPECT_EQ(countLines(logAfterFirst, "ffmpeg "), static_cast<int>(kSamples.size()));
    EXPECT_EQ(countLines(logAfterFirst, "ffprobe "), static_cast<int>(kSamples.size()));

    // Nothing changed on disk, only the target: every row is carried over
    // without a tool run, but no gain may stay on the old target.
    const CliOutcome second = runCli({"--target", "-14", "--ffmpeg", wrapper, folder}, env());
    ASSERT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_EQ(readFile(m_log), logAfterFirst) << "no tool ran in the incremental rerun";
    const std::string secondCsv = readFile(m_music / "volume_gains.csv");
    expectGainsFor(-140, secondCsv);
    // Rows come in the order the analyses end, which parallel runs do not fix.
    auto before = csvRows(firstCsv);
    auto after = csvRows(secondCsv);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        auto expected = before[i];
        expected[7] = after[i][7];
        EXPECT_EQ(after[i], expected) << "only the gain changes";
    }
}

}  // namespace
}  // namespace quellmark::test
