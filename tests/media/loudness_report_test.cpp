#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/loudness.h"
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

std::string frameLine(std::string_view integrated) {
    return "[Parsed_ebur128_1 @ 0x5586f4e0cec0] t: 1.2  TARGET:-23 LUFS    M: -22.1 S: -22.5     I: " +
           std::string(integrated) + " LUFS       LRA:   0.0 LU  FTPK: -1.0 -1.0 dBFS  TPK: -1.0 -1.0 dBFS\n";
}

void expectSameNumber(double actual, double expected, const char* what) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << what << " = " << actual;
    } else {
        EXPECT_NEAR(actual, expected, 1e-9) << what;
    }
}

struct SummaryCase {
    const char* name;
    std::string report;
    std::optional<double> loudness;  // nullopt: the ebur128 failure
    double peak;
};

TEST(LoudnessReport, ReadsIntegratedLoudnessAndPeak) {
    const SummaryCase cases[] = {
        {"one summary", summary("-23.0", "-1.0"), -23.0, -1.0},
        {"segments that differ", summary("-12.7", "-0.5") + summary("-38.1", "-20.0"), std::nullopt, kNaN},
        {"stray silent segment left out", summary("-70.0", "-inf") + summary("-16.4", "-2.0"), -16.4, -2.0},
        {"two segments agree, peak is the highest", summary("-20.0", "-3.0") + summary("-20.0", "-1.5") +
                                                         summary("-70.0", "-9.0"),
         -20.0, -1.5},
        {"several summaries, -inf is the lowest", summary("-20.0", "-inf") + summary("-20.0", "-30.0"), -20.0, -30.0},
        {"one silent summary keeps its peak", summary("-70.0", "-18.1"), kNaN, -18.1},
        {"below the placeholder", summary("-72.5", "-40.0"), kNaN, -40.0},
        {"all segments silent", summary("-70.0", "-inf") + summary("-70.0", "-inf"), kNaN, kNaN},
        {"-inf peak", summary("-23.0", "-inf"), -23.0, kNaN},
        {"per-frame lines are not a summary", frameLine("-22.0") + frameLine("-21.0"), std::nullopt, kNaN},
        {"silences and peak but no loudness",
         "[silencedetect @ 0x1] silence_start: 0\n    Peak:      -1.0 dBFS\n", std::nullopt, kNaN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = parseLoudnessReport(c.report, 10.0);
        if (!c.loudness) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error().description(), kUnreadable);
            continue;
        }
        ASSERT_TRUE(result.has_value()) << result.error().description();
        expectSameNumber(result->integratedLUFS, *c.loudness, "loudness");
        expectSameNumber(result->truePeakDBFS, c.peak, "peak");
    }
}

struct Silence {
    bool isStart;
    std::string value;
};
Silence start(std::string v) { return {true, std::move(v)}; }
Silence end(std::string v) { return {false, std::move(v)}; }

// silencedetect's lines as ffmpeg 5.1 prints them; the final progress line, when
// given, goes before a closing end, where ffmpeg writes it.
std::string silenceReport(const std::vector<Silence>& lines, const std::string& progressTime) {
    std::string report = "Input #0, wav, from 'in.wav':\n  Duration: 00:00:10.00, bitrate: 1536 kb/s\n";
    const std::string progress = progressTime.empty() ? "" : "size=N/A time=" + progressTime + " bitrate=N/A\n";
    const bool progressBeforeLast = !lines.empty() && !lines.back().isStart;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (progressBeforeLast && i + 1 == lines.size()) report += progress;
        report += "[silencedetect @ 0x55ce3f8ba040] ";
        report += lines[i].isStart ? "silence_start: " + lines[i].value
                                   : "silence_end: " + lines[i].value + " | silence_duration: 1.5";
        report += "\n";
    }
    if (!progressBeforeLast) report += progress;
    return report + summary("-23.0", "-1.0");
}

struct EdgeCase {
    const char* name;
    std::vector<Silence> lines;
    double leading;
    double trailing;
};

TEST(LoudnessReport, SilenceRulesWithAndWithoutTheDecodedLength) {
    // A 10 s file; each case is read with no progress line and with one that agrees.
    const EdgeCase cases[] = {
        {"unterminated last silence", {start("0"), end("1.5"), start("8.0")}, 1.5, 2.0},
        {"start beyond the tolerance", {start("0.06"), end("1.5")}, 0, 0},
        {"start at the tolerance, never ends", {start("0.05")}, 0, 9.95},
        {"start after the duration", {start("12.0")}, 0, 0},
        {"ends without starts", {end("1.5"), end("10")}, 0, 0},
        {"no silence", {}, 0, 0},
        {"exponent with capital E and sign", {start("4.1E+00")}, 0, 5.9},
        {"negative first end is raised to 0", {start("0"), end("-0.01")}, 0, 0},
        {"a time too long for a double", {start("0"), end(std::string(400, '9')), start("8")}, 0, 2.0},
        {"silence to the end, closed at the end", {start("0"), end("2"), start("7"), end("10")}, 2.0, 3.0},
    };
    for (const auto& c : cases) {
        for (const std::string progress : {"", "00:00:10.00"}) {
            SCOPED_TRACE(testing::Message() << c.name << ", progress " << progress);
            const auto result = parseLoudnessReport(silenceReport(c.lines, progress), 10.0);
            ASSERT_TRUE(result.has_value()) << result.error().description();
            EXPECT_NEAR(result->leadingSilenceSec, c.leading, 1e-9);
            EXPECT_NEAR(result->trailingSilenceSec, c.trailing, 1e-9);
        }
    }
    // Without a known duration nothing is examined.
    for (const double unknown : {kNaN, 0.0, -1.0, std::numeric_limits<double>::infinity()}) {
        const auto edges = silenceEdges(silenceReport({start("0"), end("1.5"), start("8.0")}, ""), unknown, kNaN);
        EXPECT_EQ(edges.leadingSec, 0);
        EXPECT_EQ(edges.trailingSec, 0);
    }
}

TEST(LoudnessReport, DecodedLengthDecidesTheEndOfTheStream) {
    struct {
        const char* name;
        std::vector<Silence> lines;
        double probeSec;
        std::string progress;
        double leading;
        double trailing;
    } const cases[] = {
        {"silence then a short tone", {start("0"), end("2.00006")}, 2.2, "00:00:02.20", 2.00006, 0},
        {"the closing end counts, not the duration", {start("0"), end("1"), start("7"), end("9.995")}, 10.0,
         "00:00:09.99", 1.0, 2.995},
        {"silence ending 0.2 s before the decoded end is real", {start("0"), end("1"), start("9"), end("9.8")}, 10.0,
         "00:00:10.00", 1.0, 0},
        {"a start past the decoded end", {start("0"), end("2"), start("11")}, 10.0, "00:00:10.00", 2, 0},
        {"probe failed", {start("0"), end("2"), start("9"), end("11")}, kNaN, "00:00:11.00", 2, 2},
        {"ADTS estimate from the bitrate", {start("0"), end("2"), start("9")}, 238.0, "00:00:11.00", 2, 2},
        {"probe close enough to stand", {start("0"), end("2"), start("9")}, 11.4, "00:00:11.00", 2, 2.4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = parseLoudnessReport(silenceReport(c.lines, c.progress), c.probeSec);
        ASSERT_TRUE(result.has_value()) << result.error().description();
        EXPECT_NEAR(result->leadingSilenceSec, c.leading, 1e-9);
        EXPECT_NEAR(result->trailingSilenceSec, c.trailing, 1e-9);
    }
}

TEST(LoudnessReport, EffectiveDuration) {
    struct {
        double probeSec;
        double decodedSec;
        double expected;
    } const cases[] = {
        {10.0, kNaN, 10.0}, {kNaN, kNaN, kNaN},  {kNaN, 3.0, 3.0},      {238.0, 11.0, 11.0},
        {11.5, 11.0, 11.5}, {10.49, 11.0, 11.0}, {11.04, 11.0, 11.04},  {-1.0, 2.0, 2.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.probeSec << " / " << c.decodedSec);
        expectSameNumber(effectiveDuration(c.probeSec, c.decodedSec), c.expected, "duration");
    }
}

TEST(LoudnessReport, ReadsTheDecodedLengthFromTheLastProgressLine) {
    struct {
        const char* report;
        double decodedSec;
    } const cases[] = {
        {"size=N/A time=01:02:03.45 bitrate=N/A speed= 134x    \n", 3723.45},
        {"size=N/A time=100:00:00.00 bitrate=N/A\n", 360000.0},
        {"size=N/A time=00:00:05.00\rsize=N/A time=00:00:07.50 bitrate=N/A\n", 7.5},
        {"size=N/A time=N/A bitrate=N/A\n", kNaN},
        {"size=N/A time=00:00:00.00 bitrate=N/A\n", kNaN},
        {"size=N/A time=-00:00:01.00 bitrate=N/A\n", kNaN},
        {"size=N/A time=00:00:05.00\nsize=N/A\n", kNaN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        const auto result = parseLoudnessReport(c.report + summary("-23.0", "-1.0"), 10.0);
        ASSERT_TRUE(result.has_value());
        expectSameNumber(result->decodedSec, c.decodedSec, "decoded length");
    }
}

TEST(LoudnessReport, SilenceTimesComeOnlyFromTheFiltersOwnLines) {
    // The header echoes file names and tags; none of them is a silence time.
    const std::string header =
        "Input #0, wav, from '/music/silence_start: 0.01.wav':\n"
        "  Metadata:\n"
        "    title           : silence_start: 0.01\n"
        "    comment         : [silencedetect @ 0x1] silence_start: 0.02\n"
        "[wav @ 0x1] silence_start: 0.03\n"
        "[Parsed_ebur128_1 @ 0x2] silence_start: 0.04\n"
        "silence_end: 1.0\n";
    const std::string body = "[silencedetect @ 0x55ce3f8ba040] silence_start: 4\n"
                             "[Parsed_silencedetect_0 @ 0x5] silence_end: 5 | silence_duration: 1\n"
                             "[silencedetect] silence_start: 8\n";
    const auto result = parseLoudnessReport(header + body + summary("-23.0", "-1.0"), 10.0);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->leadingSilenceSec, 0);
    EXPECT_DOUBLE_EQ(result->trailingSilenceSec, 2.0);
}

TEST(LoudnessReport, SplitsLinesAtEveryLineSeparator) {
    const char* separators[] = {"\n", "\r", "\r\n", "\v", "\f", "\u0085", "\u2028", "\u2029"};
    for (const char* sep : separators) {
        SCOPED_TRACE(testing::Message() << "separator bytes " << testing::PrintToString(std::string(sep)));
        const std::string s = sep;
        // Both values on one physical line only when the separator is not recognised.
        const std::string report = "[silencedetect @ 0x1] silence_start: 0" + s +
                                   "[silencedetect @ 0x1] silence_end: 1.5 | silence_duration: 1.5" + s +
                                   "[silencedetect @ 0x1] silence_start: 7" + s + "    I:  -20.0 LUFS" + s;
        const auto result = parseLoudnessReport(report, 10.0);
        ASSERT_TRUE(result.has_value());
        EXPECT_DOUBLE_EQ(result->integratedLUFS, -20.0);
        EXPECT_DOUBLE_EQ(result->leadingSilenceSec, 1.5);
        EXPECT_DOUBLE_EQ(result->trailingSilenceSec, 3.0);
    }
}

TEST(LastCapturedNumber, TakesTheLastMatchAndParsesItStrictly) {
    struct {
        const char* name;
        std::string text;
        std::string pattern;
        std::optional<double> expected;
    } const cases[] = {
        {"last of several", "v=1 v=2 v=3", R"(v=(\d+))", 3.0},
        {"no match", "nothing here", R"(v=(\d+))", std::nullopt},
        {"pattern does not compile", "v=1", R"(v=(\d+)", std::nullopt},
        {"capture not a C-locale number", "v=1,5", R"(v=([\d,]+))", std::nullopt},
        {"group 1 absent from the last match", "v=1 w", R"(v=(\d+)|w)", std::nullopt},
        {"empty matches move on", "abc", R"(x*)", std::nullopt},
        {"invalid UTF-8 around the match", "\xFF\xFEv=7\xC3", R"(v=(\d+))", 7.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(lastCapturedNumber(c.text, c.pattern), c.expected);
    }
}

struct CapturedReport {
    const char* file;
    std::optional<double> loudness;
    double peak;
    double durationSec;  // as the probe would report it
    double leading;
    double trailing;
    double decodedSec;
};

std::string dataFile(const char* name) { return test::readFile(std::string(QUELLMARK_TEST_DATA_DIR) + "/" + name); }

TEST(LoudnessReport, ReadsCapturedReports) {
    const CapturedReport cases[] = {
        {"ffmpeg-report-silence-tone-silence.txt", -37.5, -35.7, 11.0, 2.00006, 3.00004, 11.0},
        {"ffmpeg-report-silent-throughout.txt", kNaN, kNaN, 3.0, 0, 3.0, 3.0},
        {"ffmpeg-report-short-tone.txt", kNaN, -18.1, 0.3, 0, 0, 0.3},
        {"ffmpeg-report-click-then-silence.txt", -21.8, -0.9, 3.0, 2.00002, 0, 3.0},
        {"ffmpeg-report-joined-mp3.txt", std::nullopt, kNaN, 6.1, 0, 0, 6.08},
        {"ffmpeg-report-silence-both-ends.txt", -32.6, -32.2, 11.0, 2.00007, 3.00005, 11.0},
        {"ffmpeg-report-ogg.txt", -32.6, -31.8, 11.0, 2.00007, 3.00005, 11.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string report = dataFile(c.file);
        ASSERT_FALSE(report.empty());
        const auto result = parseLoudnessReport(report, c.durationSec);
        if (!c.loudness) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error().description(), kUnreadable);
            continue;
        }
        ASSERT_TRUE(result.has_value()) << result.error().description();
        expectSameNumber(result->integratedLUFS, *c.loudness, "loudness");
        expectSameNumber(result->truePeakDBFS, c.peak, "peak");
        EXPECT_NEAR(result->leadingSilenceSec, c.leading, 1e-9);
        EXPECT_NEAR(result->trailingSilenceSec, c.trailing, 1e-9);
        EXPECT_NEAR(result->decodedSec, c.decodedSec, 1e-9);
    }
}

TEST(LoudnessReport, SurvivesTruncationAndGarbage) {
    const char* files[] = {"ffmpeg-report-silence-tone-silence.txt", "ffmpeg-report-short-tone.txt",
                           "ffmpeg-report-joined-mp3.txt"};
    for (const char* file : files) {
        SCOPED_TRACE(file);
        const std::string report = dataFile(file);
        for (size_t cut = 0; cut < report.size(); cut += 13) {
            const auto result = parseLoudnessReport(std::string_view(report).substr(0, cut), 11.0);
            if (result) {
                EXPECT_GE(result->leadingSilenceSec, 0);
                EXPECT_GE(result->trailingSilenceSec, 0);
            } else {
                EXPECT_EQ(result.error().description(), kUnreadable);
            }
        }
    }
    std::mt19937 random(20261206);
    std::string garbage;
    for (int i = 0; i < 1 << 16; ++i) garbage += static_cast<char>(random() % 256);
    const std::string mixed = garbage + dataFile("ffmpeg-report-silence-tone-silence.txt") + garbage;
    EXPECT_FALSE(parseLoudnessReport(garbage, 10.0).has_value());
    const auto result = parseLoudnessReport(mixed, 11.0);
    ASSERT_TRUE(result.has_value());
    EXPECT_DOUBLE_EQ(result->integratedLUFS, -37.5);
}

}  // namespace
}  // namespace quellmark
