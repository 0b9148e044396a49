// Loudness, true peak and decoded length from ffmpeg's report (standard error).

#include "media/loudness.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "base/text.h"
#include "media/process_runner.h"
#include "media/regex_scan.h"
#include "media/report_lines.h"
#include "media/tool_locator.h"

namespace quellmark {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr double kTimeLimitSeconds = 300;

// Noise floor -50 dB and minimum silence 0.1 s, then the loudness with true
// peak. Both filters report on standard error; standard output stays unread.
constexpr const char* kFilter = "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true";

constexpr std::string_view kIntegratedPattern = R"((?m)^\s*I:\s*(-?\d+(?:\.\d+)?)\s*LUFS)";
constexpr std::string_view kPeakPattern = R"((?m)^\s*Peak:\s*(-?\d+(?:\.\d+)?)\s*dBFS)";

// ebur128 prints -70.0 when no 400 ms block passed its absolute gate (digital
// silence, or less than 0.4 s of audio): a placeholder, not a loudness.
constexpr double kNoLoudnessLUFS = -70.0;
// The probe's duration and the decoded length may differ by container rounding;
// beyond this, the container's figure is an estimate (ADTS AAC, VBR MP3 without
// a Xing header, a truncated file) and the decoded length is the truth.
constexpr double kDurationToleranceSec = 0.5;

const std::string kLoudnessUnreadable = "ebur128 の解析結果を読み取れませんでした";

// The tools take the file as an argument of its own, never through a shell. An
// absolute path also begins with "/", so a name such as "-x.mp3" can never be
// read as an option.
std::string absoluteArgument(const std::filesystem::path& file) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(file, error);
    return error ? file.string() : absolute.string();
}

bool isKnownLength(double sec) { return std::isfinite(sec) && sec > 0; }

std::vector<double> capturedNumbers(std::string_view text, std::string_view pattern) {
    std::vector<double> values;
    const RegexPattern* compiled = RegexPattern::cached(pattern);
    if (compiled == nullptr) return values;
    compiled->forEachCapture(text, [&](std::optional<std::string_view> capture) {
        if (!capture) return;
        // A value too long for a double reads as infinite: garbage, not a level.
        if (const auto value = parseCLocaleDouble(*capture); value && std::isfinite(*value)) values.push_back(*value);
    });
    return values;
}

std::optional<int> parseDigits(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

// "HH:MM:SS.cc" (hours may have more digits) in seconds; NaN when it is "N/A",
// negative or malformed.
double parseProgressTime(std::string_view text) {
    const size_t firstColon = text.find(':');
    const size_t secondColon = firstColon == std::string_view::npos ? firstColon : text.find(':', firstColon + 1);
    if (secondColon == std::string_view::npos) return kNaN;
    const auto hours = parseDigits(text.substr(0, firstColon));
    const auto minutes = parseDigits(text.substr(firstColon + 1, secondColon - firstColon - 1));
    const auto secondsText = text.substr(secondColon + 1);
    if (!hours || !minutes || secondsText.empty() || secondsText[0] < '0' || secondsText[0] > '9') {
        return kNaN;
    }
    const auto seconds = parseCLocaleDouble(secondsText);
    if (!seconds || !std::isfinite(*seconds)) return kNaN;
    return *hours * 3600.0 + *minutes * 60.0 + *seconds;
}

// The decoded length: the "time=" of the last line that begins with "size=".
// ffmpeg prints that final progress line even under -nostats, after the last
// frame went through the filters.
double decodedLength(std::string_view stderrText) {
    std::string_view lastProgress;
    bool found = false;
    forEachReportLine(stderrText, [&](std::string_view line) {
        if (line.starts_with("size=")) {
            lastProgress = line;
            found = true;
        }
    });
    if (!found) return kNaN;
    const size_t key = lastProgress.find("time=");
    if (key == std::string_view::npos) return kNaN;
    auto value = lastProgress.substr(key + 5);
    value = value.substr(0, value.find_first_of(" \t"));
    const double sec = parseProgressTime(value);
    return isKnownLength(sec) ? sec : kNaN;
}

// ffmpeg restarts its filters, and ebur128 prints one more summary, whenever the
// sample rate or the channel count changes inside a file (joined MP3s, chained
// Ogg streams). The last summary then covers only the last segment, so every
// summary is read. Segments that measured nothing (-70.0, a few stray frames)
// are left out; the others must agree exactly, as printed (one decimal), for
// the file to have one loudness. Segments that differ cannot be combined from
// their summaries (the gating is over the whole file), so that is a failure
// rather than a plausible wrong number.
Result<double> integratedLoudness(const std::vector<double>& summaries) {
    if (summaries.empty()) return fail(JobError::analysisFailed(kLoudnessUnreadable));
    std::optional<double> agreed;
    for (const double value : summaries) {
        if (value <= kNoLoudnessLUFS) continue;
        if (agreed && *agreed != value) return fail(JobError::analysisFailed(kLoudnessUnreadable));
        agreed = value;
    }
    return agreed.value_or(kNaN);
}

// Each ebur128 summary prints exactly one line-start "I:" line, so the count of
// those is the count of summaries. With one, the last "Peak:" line is its peak;
// with several, the file's true peak is the highest of its segments' peaks (a
// "-inf" peak never matches the pattern, so it counts as the lowest).
double truePeak(std::string_view stderrText, size_t summaryCount) {
    if (summaryCount <= 1) {
        const double peak = lastCapturedNumber(stderrText, kPeakPattern).value_or(kNaN);
        return std::isfinite(peak) ? peak : kNaN;
    }
    const std::vector<double> peaks = capturedNumbers(stderrText, kPeakPattern);
    if (peaks.empty()) return kNaN;
    return *std::max_element(peaks.begin(), peaks.end());
}

}  // namespace

std::optional<double> lastCapturedNumber(std::string_view text, std::string_view pattern) {
    const RegexPattern* compiled = RegexPattern::cached(pattern);
    if (compiled == nullptr) return std::nullopt;
    const auto capture = compiled->lastCapture(text);
    if (!capture) return std::nullopt;
    return parseCLocaleDouble(*capture);
}

Result<LoudnessMeasurement> measureLoudness(const std::filesystem::path& file,
                                            const std::optional<std::string>& configuredFfmpegPath,
                                            double durationSec) {
    const auto ffmpeg = locateTool("ffmpeg", configuredFfmpegPath);
    if (!ffmpeg) return fail(JobError::binaryNotFound("ffmpeg"));
    const std::vector<std::string> arguments = {
        "-nostdin", "-hide_banner", "-nostats", "-i", absoluteArgument(file), "-vn", "-af", kFilter, "-f", "null", "-",
    };
    const auto output = runProcess(*ffmpeg, arguments, kTimeLimitSeconds);
    if (!output) return fail(output.error());
    return parseLoudnessReport(output->stderrText, durationSec);
}

double effectiveDuration(double probeDurationSec, double decodedSec) {
    if (!isKnownLength(decodedSec)) return probeDurationSec;
    if (!isKnownLength(probeDurationSec) || std::abs(probeDurationSec - decodedSec) > kDurationToleranceSec) {
        return decodedSec;
    }
    return probeDurationSec;
}

Result<LoudnessMeasurement> parseLoudnessReport(std::string_view stderrText, double durationSec) {
    const std::vector<double> summaries = capturedNumbers(stderrText, kIntegratedPattern);
    const auto loudness = integratedLoudness(summaries);
    if (!loudness) return fail(loudness.error());

    LoudnessMeasurement m;
    m.integratedLUFS = *loudness;
    m.truePeakDBFS = truePeak(stderrText, summaries.size());
    m.decodedSec = decodedLength(stderrText);
    const SilenceEdges edges = silenceEdges(stderrText, effectiveDuration(durationSec, m.decodedSec), m.decodedSec);
    m.leadingSilenceSec = edges.leadingSec;
    m.trailingSilenceSec = edges.trailingSec;
    return m;
}

}  // namespace quellmark
