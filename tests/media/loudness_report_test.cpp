#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
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

bool same(double actual, double expected) {
    return std::isnan(expected) ? std::isnan(actual) : std::abs(actual - expected) < 1e-9;
}

/// Checks a parse against the expected numbers; a nullopt loudness expects the ebur128 failure.
void expectReport(const Result<LoudnessMeasurement>& result, std::optional<double> loudness, double peak) {
    if (!loudness) {
        EXPECT_TRUE(!result && result.error().description() == kUnreadable);
        return;
    }
    ASSERT_TRUE(result.has_value()) << result.error().description();
    EXPECT_TRUE(same(result->integratedLUFS, *loudness) && same(result->truePeakDBFS, peak))
        << result->integratedLUFS << " " << result->truePeakDBFS;
}

TEST(LoudnessReport, ReadsIntegratedLoudnessAndPeak) {
    const std::string frame = "[Parsed_ebur128_1 @ 0x1] t: 1.2  TARGET:-23 LUFS    M: -22.1 S: -22.5     I: -22.0 "
                              "LUFS       LRA:   0.0 LU  FTPK: -1.0 -1.0 dBFS  TPK: -1.0 -1.0 dBFS\n";
    // One segment, segments that differ and a silent one are among the captures below.
    const struct { const char* name; std::string report; std::optional<double> loudness; double peak; } cases[] = {
        {"stray silent segment left out", summary("-70.0", "-inf") + summary("-16.4", "-2.0"), -16.4, -2.0},
        {"segments agree, peak is the highest",
         summary("-20.0", "-3.0") + summary("-20.0", "-1.5") + summary("-70.0", "-9.0"), -20.0, -1.5},
        {"-inf is the lowest peak", summary("-20.0", "-inf") + summary("-20.0", "-30.0"), -20.0, -30.0},
        {"below the placeholder", summary("-72.5", "-40.0"), kNaN, -40.0},
        {"all segments silent", summary("-70.0", "-inf") + summary("-70.0", "-inf"), kNaN, kNaN},
        {"-inf peak", summary("-23.0", "-inf"), -23.0, kNaN},
        {"per-frame lines are not a summary", frame + frame, std::nullopt, kNaN},
        {"silences and peak but no loudness", "[silencedetect @ 0x1] silence_start: 0\n    Peak:      -1.0 dBFS\n",
         std::nullopt, kNaN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectReport(parseLoudnessReport(c.report, 10.0), c.loudness, c.peak);
    }
}

// silencedetect's lines as ffmpeg 5.1 prints them, from "s<start> e<end> p<progress time> ...".
std::string silenceReport(const std::string& silences) {
    std::string report = "Input #0, wav, from 'in.wav':\n  Duration: 00:00:10.00, bitrate: 1536 kb/s\n";
    std::istringstream words(silences);
    for (std::string word; words >> word;) {
        const std::string value = word.substr(1);
        report += word[0] == 'p'   ? "size=N/A time=" + value + " bitrate=N/A\n"
                  : word[0] == 's' ? "[silencedetect @ 0x55ce3f8ba040] silence_start: " + value + "\n"
                                   : "[silencedetect @ 0x55ce3f8ba040] silence_end: " + value +
                                         " | silence_duration: 1.5\n";
    }
    return report + summary("-23.0", "-1.0");
}

TEST(LoudnessReport, SilenceAtTheEnds) {
    const std::string tooLong = "e" + std::string(400, '9');
    // ffmpeg writes the final progress line before a closing end.
    const struct { const char* name; std::string silences; double probeSec, leading, trailing; } cases[] = {
        {"unterminated last silence", "s0 e1.5 s8.0", 10, 1.5, 2.0},
        {"start beyond the tolerance", "s0.06 e1.5 p00:00:10.00", 10, 0, 0},
        {"start at the tolerance, never ends", "s0.05", 10, 0, 9.95},
        {"start after the duration", "s12.0", 10, 0, 0},
        {"ends without starts", "e1.5 p00:00:10.00 e10", 10, 0, 0},
        {"exponent with capital E and sign", "s4.1E+00 p00:00:10.00", 10, 0, 5.9},
        {"negative first end is raised to 0", "s0 e-0.01", 10, 0, 0},
        {"a time too long for a double", "s0 " + tooLong + " s8", 10, 0, 2.0},
        {"silence to the end, closed at the end", "s0 e2 s7 p00:00:10.00 e10", 10, 2.0, 3.0},
        {"silence then a short tone", "s0 p00:00:02.20 e2.00006", 2.2, 2.00006, 0},
        {"the closing end counts, not the duration", "s0 e1 s7 p00:00:09.99 e9.995", 10, 1.0, 2.995},
        {"silence ending 0.2 s before the decoded end is real", "s0 e1 s9 p00:00:10.00 e9.8", 10, 1.0, 0},
        {"a start past the decoded end", "s0 e2 s11 p00:00:10.00", 10, 2, 0},
        {"probe failed", "s0 e2 s9 p00:00:11.00 e11", kNaN, 2, 2},
        {"ADTS estimate from the bitrate", "s0 e2 s9 p00:00:11.00", 238, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = parseLoudnessReport(silenceReport(c.silences), c.probeSec);
        ASSERT_TRUE(result.has_value()) << result.error().description();
        EXPECT_NEAR(result->leadingSilenceSec, c.leading, 1e-9);
        EXPECT_NEAR(result->trailingSilenceSec, c.trailing, 1e-9);
    }
    // Without a known duration nothing is examined.
    for (const double unknown : {kNaN, 0.0, -1.0}) {
        const auto edges = silenceEdges(silenceReport("s0 e1.5 s8.0"), unknown, kNaN);
        EXPECT_EQ(edges.leadingSec + edges.trailingSec, 0);
    }
}

TEST(LoudnessReport, DecodedLengthAndEffectiveDuration) {
    const std::pair<const char*, double> progressLines[] = {
        {"size=N/A time=01:02:03.45 bitrate=N/A speed= 134x    \n", 3723.45},
        {"size=N/A time=100:00:00.00 bitrate=N/A\n", 360000.0},
        {"size=N/A time=00:00:05.00\rsize=N/A time=00:00:07.50 bitrate=N/A\n", 7.5},
        {"size=N/A time=N/A bitrate=N/A\n", kNaN},
        {"size=N/A time=00:00:00.00 bitrate=N/A\n", kNaN},
        {"size=N/A time=-00:00:01.00 bitrate=N/A\n", kNaN},
        {"size=N/A time=00:00:05.00\nsize=N/A\n", kNaN},
    };
    for (const auto& [line, decodedSec] : progressLines) {
        const auto result = parseLoudnessReport(line + summary("-23.0", "-1.0"), 10.0);
        EXPECT_TRUE(result && same(result->decodedSec, decodedSec)) << line;
    }
    const double durations[][3] = {  // probe, decoded, effective
        {10.0, kNaN, 10.0}, {kNaN, kNaN, kNaN},  {kNaN, 3.0, 3.0},     {238.0, 11.0, 11.0},
        {11.5, 11.0, 11.5}, {10.49, 11.0, 11.0}, {11.04, 11.0, 11.04}, {-1.0, 2.0, 2.0},
    };
    for (const auto& d : durations) EXPECT_TRUE(same(effectiveDuration(d[0], d[1]), d[2])) << d[0] << " / " << d[1];
}

TEST(LoudnessReport, SilenceTimesComeOnlyFromTheFiltersOwnLines) {
    // The header echoes file names and tags; none of them is a silence time.
    const std::string report =
        "Input #0, wav, from '/music/silence_start: 0.01.wav':\n  Metadata:\n"
        "    title           : silence_start: 0.01\n"
        "    comment         : [silencedetect @ 0x1] silence_start: 0.02\n"
        "[wav @ 0x1] silence_start: 0.03\n[Parsed_ebur128_1 @ 0x2] silence_start: 0.04\nsilence_end: 1.0\n"
        "[silencedetect @ 0x55ce3f8ba040] silence_start: 4\n"
        "[Parsed_silencedetect_0 @ 0x5] silence_end: 5 | silence_duration: 1\n[silencedetect] silence_start: 8\n" +
        summary("-23.0", "-1.0");
    const auto result = parseLoudnessReport(report, 10.0);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->leadingSilenceSec == 0 && result->trailingSilenceSec == 2.0) << result->trailingSilenceSec;

    for (const std::string sep : {"\n", "\r", "\r\n", "\v", "\f", "\u0085", "\u2028", "\u2029"}) {
        SCOPED_TRACE(testing::PrintToString(sep));
        // Both values on one physical line only when the separator is not recognised.
        const auto split = parseLoudnessReport("[silencedetect @ 0x1] silence_start: 0" + sep +
                                                   "[silencedetect @ 0x1] silence_end: 1.5 | silence_duration: 1.5" +
                                                   sep + "[silencedetect @ 0x1] silence_start: 7" + sep +
                                                   "    I:  -20.0 LUFS" + sep,
                                               10.0);
        EXPECT_TRUE(split && split->integratedLUFS == -20.0 && split->leadingSilenceSec == 1.5 &&
                    split->trailingSilenceSec == 3.0);
    }
}

TEST(LastCapturedNumber, TakesTheLastMatchAndParsesItStrictly) {
    const struct { std::string text; const char* pattern; std::optional<double> expected; } cases[] = {
        {"v=1 v=2 v=3", R"(v=(\d+))", 3.0},
        {"nothing here", R"(v=(\d+))", std::nullopt},
        {"v=1", R"(v=(\d+)", std::nullopt},                 // does not compile
        {"v=1,5", R"(v=([\d,]+))", std::nullopt},           // not a C-locale number
        {"v=1 w", R"(v=(\d+)|w)", std::nullopt},            // group 1 absent from the last match
        {"abc", R"(x*)", std::nullopt},                     // empty matches move on
        {"\xFF\xFEv=7\xC3", R"(v=(\d+))", 7.0},             // invalid UTF-8 around the match
    };
    for (const auto& c : cases) EXPECT_EQ(lastCapturedNumber(c.text, c.pattern), c.expected) << c.text;

    // Many threads first meet the same patterns at once, as the file tasks of a
    // run do; each must see its own, correct result.
    std::string text;
    for (int i = 0; i < 40; ++i) text += "k" + std::to_string(i) + "=" + std::to_string(i * 10) + ".5\n";
    std::atomic<int> wrong = 0;
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 120; ++i) {
                const int k = (i + t * 5) % 40;
                wrong += lastCapturedNumber(text, "(?m)^k" + std::to_string(k) + R"(=(\d+\.\d+)$)") != k * 10 + 0.5;
            }
        });
    }
    threads.clear();  // joins
    EXPECT_EQ(wrong, 0);
}

std::string dataFile(const char* name) { return test::readFile(std::string(QUELLMARK_TEST_DATA_DIR) + "/" + name); }

TEST(LoudnessReport, ReadsCapturedReports) {
    const struct {
        const char* file; std::optional<double> loudness; double peak, probeSec, leading, trailing, decodedSec;
    } cases[] = {
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
        for (size_t cut = 0; cut < report.size(); cut += 13) {  // cut anywhere: sane silences or the parse message
            const auto part = parseLoudnessReport(std::string_view(report).substr(0, cut), 11.0);
            EXPECT_TRUE(part ? part->leadingSilenceSec >= 0 && part->trailingSilenceSec >= 0
                             : part.error().description() == kUnreadable) << cut;
        }
        const auto result = parseLoudnessReport(report, c.probeSec);
        expectReport(result, c.loudness, c.peak);
        if (!result) continue;
        EXPECT_NEAR(result->leadingSilenceSec, c.leading, 1e-9);
        EXPECT_NEAR(result->trailingSilenceSec, c.trailing, 1e-9);
        EXPECT_NEAR(result->decodedSec, c.decodedSec, 1e-9);
    }
    // Garbage around a report, invalid UTF-8 included, hides nothing.
    std::mt19937 random(20261206);
    std::string garbage;
    for (int i = 0; i < 1 << 16; ++i) garbage += static_cast<char>(random() % 256);
    EXPECT_FALSE(parseLoudnessReport(garbage, 10.0).has_value());
    const auto mixed = parseLoudnessReport(garbage + dataFile("ffmpeg-report-silence-tone-silence.txt") + garbage, 11);
    expectReport(mixed, -37.5, -35.7);
}

}  // namespace
}  // namespace quellmark
