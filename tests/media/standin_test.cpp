// The stand-in tools must print what the real ones print, or every test built
// on them checks the parsers against a fiction. Their output is compared with
// the captures of the real tools in tests/data; how each key shapes the output
// is left to the tests that use the key.
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "media/process_runner.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

using namespace std::string_literals;
const std::string kToolsDir = QUELLMARK_TEST_TOOLS_DIR;
const std::string kDataDir = QUELLMARK_TEST_DATA_DIR;

// The real command lines.
ProcessRun runStandIns(const std::string& file, ProcessRun& probe) {
    probe = runProcessCollectingStatus(kToolsDir + "/ffprobe",
                                       {"-v", "error", "-select_streams", "a:0", "-print_format", "json",
                                        "-show_entries",
                                        "format=duration:format_tags=title,artist,album,date:stream_tags=title,artist",
                                        file},
                                       60).value();
    return runProcessCollectingStatus(kToolsDir + "/ffmpeg",
                                      {"-nostdin", "-hide_banner", "-nostats", "-i", file, "-vn", "-af",
                                       "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true", "-f", "null", "-"},
                                      60).value();
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
    EXPECT_EQ(probe.status, 0);
    EXPECT_EQ(probe.stdoutBytes, test::readFile(kDataDir + "/ffprobe-tags.json"));
    EXPECT_EQ(measure.status, 0);
    EXPECT_EQ(measure.stdoutBytes, "");
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
        EXPECT_EQ(probe.status, 1);
        EXPECT_EQ(probe.stdoutBytes, test::readFile(kDataDir + "/ffprobe-undecodable.json"));
        EXPECT_TRUE(probe.stderrBytes.starts_with(bad + ": ")) << probe.stderrBytes;
        EXPECT_EQ(failed.status, 1);
        EXPECT_TRUE(failed.stderrBytes.starts_with(bad + ": ")) << failed.stderrBytes;
    }
}

}  // namespace
}  // namespace quellmark
