// Leading and trailing silence from silencedetect's report lines.

#include <algorithm>
#include <cmath>

#include "base/text.h"
#include "media/loudness_report.h"
#include "media/regex_scan.h"

namespace quellmark {
namespace {

// silencedetect prints times with six significant digits, so a silence that
// starts a few samples into the file reads "silence_start: 2.08333e-05"; without
// the exponent that would be taken for 2.08 s.
constexpr std::string_view kStartPattern = R"(silence_start:\s*(-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?))";
constexpr std::string_view kEndPattern = R"(silence_end:\s*(-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?))";

// A silence that begins this close to 0 counts as the file's leading silence.
constexpr double kStartToleranceSec = 0.05;
// The final progress line prints the decoded length truncated to 0.01 s, and
// silencedetect its closing end to six digits: an end this close to it is the
// end of the stream. The extra nanosecond absorbs binary rounding of "at most".
constexpr double kEndOfStreamToleranceSec = 0.05 + 1e-9;
// Without a decoded length, an end this close to the container's duration is
// taken for the end of the stream.
constexpr double kEndOfStreamFallbackSec = 0.25;

// The text after the log prefix when `line` is one of silencedetect's own lines
// ("[silencedetect @ 0x…] …"). ffmpeg echoes file names and tag values in its
// header, and those must never pass for silence times.
std::optional<std::string_view> silencedetectMessage(std::string_view line) {
    if (!line.starts_with('[')) return std::nullopt;
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    if (line.substr(1, close - 1).find("silencedetect") == std::string_view::npos) return std::nullopt;
    return line.substr(close + 1);
}

// A time too long for a double would read as infinite; that is no time at all.
std::optional<double> lastTime(const RegexPattern* pattern, std::string_view text) {
    if (pattern == nullptr) return std::nullopt;
    const auto capture = pattern->lastCapture(text);
    if (!capture) return std::nullopt;
    const auto value = parseCLocaleDouble(*capture);
    if (!value || !std::isfinite(*value)) return std::nullopt;
    return value;
}

bool isEndOfStream(double end, double durationSec, double decodedSec) {
    if (std::isfinite(decodedSec) && decodedSec > 0) return std::abs(end - decodedSec) <= kEndOfStreamToleranceSec;
    return end >= durationSec - kEndOfStreamFallbackSec;
}

}  // namespace

void SilenceTimes::Tally::add(double sec) {
    if (count++ == 0) first = sec;
    last = sec;
}

void SilenceTimes::addLine(std::string_view line) {
    const auto message = silencedetectMessage(line);
    if (!message) return;
    // One value per line; a start wins over an end on the same line.
    if (const auto start = lastTime(RegexPattern::cached(kStartPattern), *message)) {
        starts.add(*start);
    } else if (const auto end = lastTime(RegexPattern::cached(kEndPattern), *message)) {
        ends.add(*end);
    }
}

SilenceEdges silenceEdges(const SilenceTimes& times, double durationSec, double decodedSec) {
    if (!std::isfinite(durationSec) || durationSec <= 0) return {};
    if (times.starts.count == 0) return {};

    // ffmpeg closes a silence that lasts to the end of the stream with one more
    // silence_end at the stream's end. Counted as a real end, every file that
    // ends in silence would get no trailing silence at all; that end instead
    // tells how long the unterminated silence lasted.
    size_t endCount = times.ends.count;
    std::optional<double> endOfStream;
    if (endCount > 0 && isEndOfStream(times.ends.last, durationSec, decodedSec)) {
        endOfStream = times.ends.last;
        --endCount;
    }

    SilenceEdges edges;
    if (times.starts.first <= kStartToleranceSec && endCount > 0) edges.leadingSec = std::max(0.0, times.ends.first);
    // Starts and ends are not paired: only whether the last silence ended counts.
    if (endCount < times.starts.count) {
        const double lastStart = times.starts.last;
        if (endOfStream) {
            edges.trailingSec = std::max(0.0, *endOfStream - lastStart);
        } else if (const double gap = durationSec - lastStart; gap >= 0) {
            edges.trailingSec = gap;
        }
    }
    return edges;
}

}  // namespace quellmark
