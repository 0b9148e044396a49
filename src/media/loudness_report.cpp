// Loudness, true peak and decoded length from ffmpeg's report (standard error).

#include "media/loudness_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "base/text.h"
#include "media/regex_scan.h"

namespace quellmark {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr std::string_view kIntegratedPattern = R"((?m)^\s*I:\s*(-?\d+(?:\.\d+)?)\s*LUFS)";
constexpr std::string_view kPeakPattern = R"((?m)^\s*Peak:\s*(-?\d+(?:\.\d+)?)\s*dBFS)";

// ebur128 prints -70.0 when no 400 ms block passed its absolute gate (digital
// silence, or less than 0.4 s of audio): a placeholder, not a loudness.
constexpr double kNoLoudnessLUFS = -70.0;

const std::string kLoudnessUnreadable = "ebur128 の解析結果を読み取れませんでした";

bool isBlank(std::string_view text) { return text.find_first_not_of(" \t") == std::string_view::npos; }

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

// The "time=" of a progress line; NaN when it shows none, "N/A" or no time
// greater than 0.
double progressLineTime(std::string_view line) {
    const size_t key = line.find("time=");
    if (key == std::string_view::npos) return kNaN;
    auto value = line.substr(key + 5);
    value = value.substr(0, value.find_first_of(" \t"));
    const double sec = parseProgressTime(value);
    return std::isfinite(sec) && sec > 0 ? sec : kNaN;
}

// A value too long for a double reads as infinite: garbage, not a level.
std::optional<double> finiteNumber(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    const auto value = parseCLocaleDouble(*text);
    if (!value || !std::isfinite(*value)) return std::nullopt;
    return value;
}

}  // namespace

SummaryScanner::SummaryScanner(std::string_view pattern, std::string_view key)
    : m_pattern(RegexPattern::cached(pattern)), m_key(key) {}

template <class OnCapture>
void SummaryScanner::addLine(const ReportLine& line, OnCapture&& onCapture) {
    if (m_pattern == nullptr) return;
    if (m_pending.empty()) {
        // Within a line "\s" is a space or a tab. A line that does not begin
        // with the key after those cannot begin a match; a blank one only leads
        // "\s*" on to the next line, where the match would begin anyway.
        const size_t first = line.text.find_first_not_of(" \t");
        if (first == std::string_view::npos || !line.text.substr(first).starts_with(m_key)) return;
    } else if (line.endsInAsciiBreak && isBlank(line.text)) {
        return;  // the "\s*" that the pending match ends in takes it whole
    }
    // Each line end stands for its kind: LF for the ones "\s" matches, NEL for
    // the others (and for the end of the text, after which nothing can match).
    m_pending.append(line.text);
    m_pending.append(line.endsInAsciiBreak ? "\n" : "\xC2\x85");
    size_t offset = 0;
    for (;;) {
        const RegexMatch match = m_pattern->firstMatch(m_pending, offset, true);
        if (match.kind == RegexMatch::Kind::complete) {
            onCapture(match.capture);
            offset = match.end;
            continue;
        }
        if (match.kind == RegexMatch::Kind::partial) {
            m_pending.erase(0, match.start);
        } else {
            m_pending.clear();
        }
        return;
    }
}

LoudnessReportReader::LoudnessReportReader()
    : m_integrated(kIntegratedPattern, "I:"), m_peak(kPeakPattern, "Peak:"), m_lastPeak(kNaN), m_decodedSec(kNaN) {}

void LoudnessReportReader::addLine(const ReportLine& line) {
    // ffmpeg restarts its filters, and ebur128 prints one more summary, whenever
    // the sample rate or the channel count changes inside a file (joined MP3s,
    // chained Ogg streams), so every summary is read. Segments that measured
    // nothing (-70.0, a few stray frames) are left out; the others must agree
    // exactly, as printed, for the file to have one loudness: the gating runs
    // over the whole file, so differing segments cannot be combined from their
    // summaries.
    m_integrated.addLine(line, [&](std::optional<std::string_view> capture) {
        const auto lufs = finiteNumber(capture);
        if (!lufs) return;
        ++m_summaryCount;
        if (*lufs <= kNoLoudnessLUFS) return;
        if (m_agreedLUFS && *m_agreedLUFS != *lufs) m_summariesDisagree = true;
        m_agreedLUFS = lufs;
    });
    m_peak.addLine(line, [&](std::optional<std::string_view> capture) {
        m_lastPeak = capture ? parseCLocaleDouble(*capture).value_or(kNaN) : kNaN;
        if (const auto peak = finiteNumber(capture)) m_highestPeak = std::max(m_highestPeak.value_or(*peak), *peak);
    });
    // ffmpeg prints its final progress line even under -nostats, after the last
    // frame went through the filters: the last one gives the decoded length.
    if (line.text.starts_with("size=")) m_decodedSec = progressLineTime(line.text);
    m_silences.addLine(line.text);
}

Result<LoudnessMeasurement> LoudnessReportReader::finish(double durationSec) const {
    if (m_summaryCount == 0 || m_summariesDisagree) return fail(JobError::analysisFailed(kLoudnessUnreadable));
    LoudnessMeasurement m;
    m.integratedLUFS = m_agreedLUFS.value_or(kNaN);
    // One summary: its peak is the last "Peak:" line. Several: the file's true
    // peak is the highest of its segments' ("-inf" never matches, so it counts
    // as the lowest).
    if (m_summaryCount <= 1) {
        m.truePeakDBFS = std::isfinite(m_lastPeak) ? m_lastPeak : kNaN;
    } else {
        m.truePeakDBFS = m_highestPeak.value_or(kNaN);
    }
    m.decodedSec = m_decodedSec;
    const SilenceEdges edges = silenceEdges(m_silences, effectiveDuration(durationSec, m_decodedSec), m_decodedSec);
    m.leadingSilenceSec = edges.leadingSec;
    m.trailingSilenceSec = edges.trailingSec;
    return m;
}

}  // namespace quellmark
