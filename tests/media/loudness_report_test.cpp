#include <charconv>
#include <future>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/loudness.h"
#include "media/loudness_report.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::string kUnreadable = "ebur128 の解析結果を読み取れませんでした";

std::string summary(std::string_view integrated, std::string_view peak) {
    return "[Parsed_ebur128_1 @ 0x5586f4e0cec0] Summary:\n\n  Integrated loudness:\n    I:         " +
           std::string(integrated) + " LUFS\n    Threshold: -33.0 LUFS\n\n  Loudness range:\n    LRA:  0.0 LU\n\n"
           "  True peak:\n    Peak:      " + std::string(peak) + " dBFS\n";
}

// silencedetect's lines as ffmpeg 5.1 prints them, from "s<start> e<end> p<progress time> ...",
// then a summary of -23.0 LUFS and -1.0 dBFS.
std::string silences(const std::string& words) {
    std::string report = "Input #0, wav, from 'in.wav':\n  Duration: 00:00:10.00, bitrate: 1536 kb/s\n";
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        const std::string value = word.substr(1);
        report += word[0] == 'p'   ? "size=N/A time=" + value + " bitrate=N/A\n"
                  : word[0] == 's' ? "[silencedetect @ 0x55ce3f8ba040] silence_start: " + value + "\n"
                                   : "[silencedetect @ 0x55ce3f8ba040] silence_end: " + value +
                                         " | silence_duration: 1.5\n";
    }
    return report + summary("-23.0", "-1.0");
}

// Four lines that each need the line end before them: merged, the end would hide
// behind the start, the second start behind the end, and "I:" and "Peak:" would
// not begin their lines.
std::string separatedBy(const std::vector<std::string>& ends) {
    return "[silencedetect @ 0x1] silence_start: 0" + ends[0] + "[silencedetect @ 0x1] silence_end: 1.5" + ends[1] +
           "[silencedetect @ 0x1] silence_start: 7" + ends[2] + "    I:  -20.0 LUFS" + ends[3] + "    Peak: -1.0 dBFS";
}

// A measurement as "loudness peak leading trailing", each to six significant
// digits, or the failure's text.
std::string described(const Result<LoudnessMeasurement>& m) {
    if (!m) return m.error().description();
    std::string text;
    for (const double value : {m->integratedLUFS, m->truePeakDBFS, m->leadingSilenceSec, m->trailingSilenceSec}) {
        char digits[32];
        const auto end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6).ptr;
        text += (text.empty() ? "" : " ") + std::string(digits, end);
    }
    return text;
}

TEST(LoudnessReport, ReadsSummariesAndSilencesWhereverTheReadsSplitTheLines) {
    // The header echoes file names and tags; none of them is a silence time.
    const std::string echoes =
        "Input #0, wav, from '/music/silence_start: 0.01.wav':\n    title           : silence_start: 0.01\n"
        "    comment         : [silencedetect @ 0x1] silence_start: 0.02\n[wav @ 0x1] silence_start: 0.03\n"
        "[Parsed_ebur128_1 @ 0x2] silence_start: 0.04\nsilence_end: 1.0\n[silencedetect @ 0x5] silence_start: 4\n"
        "[Parsed_silencedetect_0 @ 0x5] silence_end: 5 | silence_duration: 1\n[silencedetect] silence_start: 8\n";
    const std::string tooLong = "e" + std::string(400, '9');
    // One segment, segments that differ and a silent one are among the captures below.
    const struct { const char* name; std::string report; double probeSec; std::string expected; } cases[] = {
        {"stray silent segment left out", summary("-70.0", "-inf") + summary("-16.4", "-2.0"), 10, "-16.4 -2 0 0"},
        {"segments agree, peak is the highest",
         summary("-20.0", "-3.0") + summary("-20.0", "-1.5") + summary("-70.0", "-9.0"), 10, "-20 -1.5 0 0"},
        {"-inf is the lowest peak", summary("-20.0", "-inf") + summary("-20.0", "-30.0"), 10, "-20 -30 0 0"},
        {"below the placeholder", summary("-72.5", "-40.0"), 10, "nan -40 0 0"},
        {"silences and peak but no loudness", "[silencedetect @ 0x1] silence_start: 0\n    Peak:  -1.0 dBFS\n", 10,
         kUnreadable},
        // "\s" crosses LF, CR, VT and FF, so a value may stand on a later line; never past NEL.
        {"value on the lines after its key", "  I:\r\n\v  \n  -21.0\f LUFS\n  Peak:\n-2.5\n\ndBFS", 10, "-21 -2.5 0 0"},
        {"a key whose value never comes", "  I:\n\n  I: -19.0 LUFS\n", 10, "-19 nan 0 0"},
        {"NEL is no white space", "  I:\u0085-21.0 LUFS\n", 10, kUnreadable},
        {"every line end ends a line", separatedBy({"\n", "\r", "\r\n", "\v"}), 10, "-20 -1 1.5 3"},
        {"every line end ends a line, too", separatedBy({"\f", "\u0085", "\u2028", "\u2029"}), 10, "-20 -1 1.5 3"},
        {"only the filter's own lines", echoes + summary("-23.0", "-1.0"), 10, "-23 -1 0 2"},
        {"a line past 64 KiB is cut", std::string(65536, ' ') + "I: -20.0 LUFS\n" + summary("-23.0", "-1.0"), 10,
         "-23 -1 0 0"},
        // ffmpeg writes the final progress line before a closing end.
        {"unterminated last silence", silences("s0 e1.5 s8.0"), 10, "-23 -1 1.5 2"},
        {"start beyond the tolerance", silences("s0.06 e1.5 p00:00:10.00"), 10, "-23 -1 0 0"},
        {"start at the tolerance, never ends", silences("s0.05"), 10, "-23 -1 0 9.95"},
        {"start after the duration", silences("s12.0"), 10, "-23 -1 0 0"},
        {"ends without starts", silences("e1.5 p00:00:10.00 e10"), 10, "-23 -1 0 0"},
        {"exponent with capital E and sign", silences("s4.1E+00 p00:00:10.00"), 10, "-23 -1 0 5.9"},
        {"negative first end is raised to 0", silences("s0 e-0.01"), 10, "-23 -1 0 0"},
        {"a time too long for a double", silences("s0 " + tooLong + " s8"), 10, "-23 -1 0 2"},
        {"duration unknown", silences("s0 e1.5 s8.0"), kNaN, "-23 -1 0 0"},
        {"no decoded length: an end near the duration ends the stream", silences("s0 e1 s8 e9.8"), 10, "-23 -1 1 1.8"},
        {"the closing end counts, not the duration", silences("s0 e1 s7 p00:00:09.99 e9.995"), 10, "-23 -1 1 2.995"},
        {"silence ending 0.2 s before the decoded end is real", silences("s0 e1 s9 p00:00:10.00 e9.8"), 10, "-23 -1 1 0"},
        {"the last progress line counts", silences("s0 e1 s8 p00:00:05.00 p00:00:10.00 e10"), 10, "-23 -1 1 2"},
        {"hours beyond two digits", silences("s0 e1 s359990 p100:00:00.00 e360000"), 360000, "-23 -1 1 10"},
        {"probe failed", silences("s0 e2 s9 p00:00:11.00 e11"), kNaN, "-23 -1 2 2"},
        {"ADTS estimate from the bitrate", silences("s0 e2 s9 p00:00:11.00"), 238, "-23 -1 2 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(described(parseLoudnessReport(c.report, c.probeSec)), c.expected);
        // A tool's output arrives in reads of any size, a line end split over two of them.
        LoudnessReportReader reader;
        ReportLineSplitter splitter;
        const LineSink sink = [&](const ReportLine& line) { reader.addLine(line); };
        for (const char byte : c.report) splitter.feed(std::string_view(&byte, 1), sink);
        splitter.finish(sink);
        EXPECT_EQ(described(reader.finish(c.probeSec)), c.expected);
    }
}

std::string dataFile(const char* name) { return test::readFile(std::string(QUELLMARK_TEST_DATA_DIR) + "/" + name); }

TEST(LoudnessReport, ReadsCapturedReports) {
    const struct { const char* file; double probeSec; std::string expected; double decodedSec; } cases[] = {
        {"ffmpeg-report-silence-tone-silence.txt", 11.0, "-37.5 -35.7 2.00006 3.00004", 11.0},
        {"ffmpeg-report-silent-throughout.txt", 3.0, "nan nan 0 3", 3.0},
        {"ffmpeg-report-short-tone.txt", 0.3, "nan -18.1 0 0", 0.3},
        {"ffmpeg-report-click-then-silence.txt", 3.0, "-21.8 -0.9 2.00002 0", 3.0},
        {"ffmpeg-report-joined-mp3.txt", 6.1, kUnreadable, 6.08},
        {"ffmpeg-report-silence-both-ends.txt", 11.0, "-32.6 -32.2 2.00007 3.00005", 11.0},
        {"ffmpeg-report-ogg.txt", 11.0, "-32.6 -31.8 2.00007 3.00005", 11.0},
    };
    // Each report on a thread of its own, as the file tasks of a run read theirs.
    std::vector<std::future<void>> readers;
    for (const auto& c : cases) {
        readers.push_back(std::async(std::launch::async, [&c] {
            SCOPED_TRACE(c.file);
            const auto result = parseLoudnessReport(dataFile(c.file), c.probeSec);
            EXPECT_EQ(described(result), c.expected);
            if (result) { EXPECT_NEAR(result->decodedSec, c.decodedSec, 1e-9); }
        }));
    }
    for (auto& reader : readers) reader.get();
    // Garbage around a report, invalid UTF-8 included, hides nothing.
    std::mt19937 random(20261206);
    std::string garbage;
    for (int i = 0; i < 1 << 16; ++i) garbage += static_cast<char>(random() % 256);
    EXPECT_EQ(described(parseLoudnessReport(garbage, 10.0)), kUnreadable);
    const auto mixed = parseLoudnessReport(garbage + dataFile("ffmpeg-report-silence-tone-silence.txt") + garbage, 11);
    EXPECT_EQ(described(mixed), "-37.5 -35.7 2.00006 3.00004");
}

}  // namespace
}  // namespace quellmark
