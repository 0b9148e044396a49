// The stand-in tools must print what the real ones print, or every test built
// on them checks the parsers against a fiction. Their output is compared with
// the captures of the real tools in tests/data.
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/process_runner.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kToolsDir = QUELLMARK_TEST_TOOLS_DIR;
const std::string kDataDir = QUELLMARK_TEST_DATA_DIR;

// The real command lines.
Result<ProcessRun> runFakeFfmpeg(const std::string& file, double limitSeconds = 60) {
    return runProcessCollectingStatus(kToolsDir + "/ffmpeg",
                                      {"-nostdin", "-hide_banner", "-nostats", "-i", file, "-vn", "-af",
                                       "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true", "-f", "null", "-"},
                                      limitSeconds);
}

Result<ProcessRun> runFakeFfprobe(const std::string& file) {
    return runProcessCollectingStatus(
        kToolsDir + "/ffprobe",
        {"-v", "error", "-select_streams", "a:0", "-print_format", "json", "-show_entries",
         "format=duration:format_tags=title,artist,album,date:stream_tags=title,artist", file},
        60);
}

// The lines of a report that carry the measurement: silencedetect's, the
// final progress line and the summary block, with pointer values masked.
std::string measurementLines(const std::string& report) {
    static const std::regex pointer("0x[0-9a-f]+");
    std::istringstream lines(report);
    std::string kept;
    bool isInSummary = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("] Summary:") != std::string::npos) isInSummary = true;
        if (isInSummary || line.starts_with("[silencedetect") || line.starts_with("size=")) {
            kept += std::regex_replace(line, pointer, "0x?") + "\n";
        }
    }
    return kept;
}

TEST(StandIns, PrintWhatTheRealToolsPrint) {
    test::TempDir dir;
    const auto file = (dir / "tone.flac").string();
    // The numbers of the captured tone.flac.
    test::writeFile(file,
                    "QMFAKE\nlufs=-32.6\npeak=-32.2\nduration=11.000000\ntitle=Test Tone\nartist=Quellmark Lab\n"
                    "silence_start=0\nsilence_end=2.00007\nsilence_start=7.99995\nsilence_end=11\n");
    const auto probe = runFakeFfprobe(file);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->status, 0);
    EXPECT_EQ(probe->stdoutBytes, test::readFile(kDataDir + "/ffprobe-tags.json"));

    const auto measure = runFakeFfmpeg(file);
    ASSERT_TRUE(measure);
    EXPECT_EQ(measure->status, 0);
    EXPECT_EQ(measure->stdoutBytes, "");
    const auto expected = measurementLines(test::readFile(kDataDir + "/ffmpeg-report-silence-both-ends.txt"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(measurementLines(measure->stderrBytes), expected);
}

TEST(StandIns, FailLikeTheRealToolsOnUndecodableInput) {
    test::TempDir dir;
    test::writeFile(dir / "garbage.mp3", "\x00\xFF\xFB\x90\n\x01QMFAKE\n"s);
    test::writeFile(dir / "empty.wav", "");
    test::writeFile(dir / "almost.flac", "QMFAKE2\nlufs=-10\n");
    for (const char* name : {"garbage.mp3", "empty.wav", "almost.flac", "missing.flac"}) {
        SCOPED_TRACE(name);
        const auto file = (dir / name).string();
        const auto probe = runFakeFfprobe(file);
        ASSERT_TRUE(probe);
        EXPECT_EQ(probe->status, 1);
        EXPECT_EQ(probe->stdoutBytes, test::readFile(kDataDir + "/ffprobe-undecodable.json"));
        EXPECT_TRUE(probe->stderrBytes.starts_with(file + ": ")) << probe->stderrBytes;
        const auto measure = runFakeFfmpeg(file);
        ASSERT_TRUE(measure);
        EXPECT_EQ(measure->status, 1);
        EXPECT_TRUE(measure->stderrBytes.starts_with(file + ": ")) << measure->stderrBytes;
    }
}

TEST(StandIns, KeysShapeTheOutput) {
    struct {
        const char* keys;
        bool isProbe;
        int expectedStatus;
        std::vector<std::string> present, absent;  // in the output the caller reads
    } const cases[] = {
        {"", false, 0, {"    I:         -20.0 LUFS\n", "    Peak:       -1.0 dBFS\n", "time=00:00:10.00 "}, {"silence"}},
        {"lufs=none\npeak=-inf\n", false, 0, {"    Peak:       -inf dBFS\n", "Summary:"}, {"\n    I:"}},
        {"decoded=none\n", false, 0, {"Summary:"}, {"size="}},
        {"duration=3725.456\n", false, 0, {"time=01:02:05.45 ", "Duration: 01:02:05.45,"}, {}},
        {"silence_start=2.08333e-05\nsilence_end=1.5\n", false, 0,
         {"] silence_start: 2.08333e-05\n", "] silence_end: 1.5 | silence_duration: 1.49998\n"}, {}},
        {"title=silence_start: 5\n", false, 0, {"    title           : silence_start: 5\n"}, {"] silence_start"}},
        {"ffmpeg_exit=69\n", false, 69, {"Summary:"}, {}},
        {"flood=300000\n", false, 0, {"Summary:", "t: 2.19998"}, {}},
        {"", true, 0, {"\"duration\": \"10.000000\"\n"}, {"tags"}},
        {"duration=none\n", true, 0, {"\"format\": {\n\n    }"}, {"duration"}},
        {"title=Say \"Hi\" \\o/\nartist=\n", true, 0,
         {"\"title\": \"Say \\\"Hi\\\" \\\\o/\",\n", "\"artist\": \"\"\n"}, {}},
        {"probe_exit=3\nduration=1.5\n", true, 3, {"\"duration\": \"1.5\""}, {}},
    };
    test::TempDir dir;
    const auto file = (dir / "fake.mp3").string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        test::writeFile(file, std::string("QMFAKE\n") + c.keys);
        const auto run = c.isProbe ? runFakeFfprobe(file) : runFakeFfmpeg(file);
        ASSERT_TRUE(run);
        EXPECT_EQ(run->status, c.expectedStatus);
        const std::string& text = c.isProbe ? run->stdoutBytes : run->stderrBytes;
        for (const auto& piece : c.present) EXPECT_NE(text.find(piece), std::string::npos) << piece << "\n" << text;
        for (const auto& piece : c.absent) EXPECT_EQ(text.find(piece), std::string::npos) << piece;
    }
}

TEST(StandIns, DelayTermAndLog) {
    test::TempDir dir;
    const auto log = dir / "log";
    std::optional<test::ScopedEnv> logTo(std::in_place, "QM_FAKE_LOG", log.c_str());
    test::writeFile(dir / "slow.flac", "QMFAKE\nffmpeg_delay=30\n");
    test::writeFile(dir / "stubborn.flac", "QMFAKE\nffmpeg_delay=1\nignore_term=1\n");
    const auto slow = runFakeFfmpeg((dir / "slow.flac").string(), 0.3);
    // Survives the SIGTERM at the limit and finishes its second of delay.
    const auto stubborn = runFakeFfmpeg((dir / "stubborn.flac").string(), 0.3);
    const auto probe = runFakeFfprobe((dir / "slow.flac").string());
    logTo.reset();
    ASSERT_TRUE(slow && stubborn && probe);
    EXPECT_EQ(slow->status, 15);
    EXPECT_EQ(stubborn->status, 0);
    EXPECT_NE(stubborn->stderrBytes.find("Summary:"), std::string::npos);
    EXPECT_EQ(probe->status, 0);

    // A killed run logs its start only.
    const std::regex line(R"((ffmpeg|ffprobe) (start|end) \d+\.\d{9} \d+ (.*))");
    std::istringstream lines(test::readFile(log));
    std::vector<std::string> events;
    for (std::string text; std::getline(lines, text);) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        events.push_back(match[1].str() + " " + match[2].str() + " " + fs::path(match[3].str()).filename().string());
    }
    const std::vector<std::string> expected = {"ffmpeg start slow.flac", "ffmpeg start stubborn.flac",
                                               "ffmpeg end stubborn.flac", "ffprobe start slow.flac",
                                               "ffprobe end slow.flac"};
    EXPECT_EQ(events, expected);
}

}  // namespace
}  // namespace quellmark
