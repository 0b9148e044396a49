#pragma once
// ffmpeg's report, read line by line as the tool writes it. Only what the
// report rules read is kept (silencedetect's times, the summaries' values, the
// decoded length), so the memory of a run does not grow with the file: the
// whole report of a day-long recording runs to some 150 MB.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "media/loudness.h"
#include "media/report_lines.h"

namespace quellmark {

class RegexPattern;

/// silencedetect's times, as far as the silence rules read them.
struct SilenceTimes {
    struct Tally {
        size_t count = 0;
        double first = 0;
        double last = 0;
        void add(double sec);
    };
    Tally starts;
    Tally ends;

    /// Counts the time on one of silencedetect's own lines; ignores any other line.
    void addLine(std::string_view line);
};

struct SilenceEdges {
    double leadingSec = 0;
    double trailingSec = 0;
};

/// Leading and trailing silence. `durationSec` is the file's duration and
/// `decodedSec` the decoded length (NaN when unknown).
SilenceEdges silenceEdges(const SilenceTimes& times, double durationSec, double decodedSec);

/// A "(?m)^\s*KEY:..." pattern scanned over lines as they arrive, finding
/// exactly the matches a scan of the whole text finds: "\s" crosses LF, CR, VT
/// and FF, so a match may run on over lines, and only the lines such a match
/// still needs are kept (at most two cut lines).
class SummaryScanner {
public:
    SummaryScanner(std::string_view pattern, std::string_view key);
    /// Calls `onCapture` with group 1 of every match that `line` completes.
    template <class OnCapture>
    void addLine(const ReportLine& line, OnCapture&& onCapture);

private:
    const RegexPattern* m_pattern;
    std::string_view m_key;
    std::string m_pending;  // the lines of a match cut short by the end of what came so far
};

/// Reads one report fed line by line. Not thread-safe; one per run.
class LoudnessReportReader {
public:
    LoudnessReportReader();
    void addLine(const ReportLine& line);
    /// The measurement of the lines so far; `durationSec` is the probe's (NaN when unknown).
    Result<LoudnessMeasurement> finish(double durationSec) const;

private:
    SummaryScanner m_integrated;
    SummaryScanner m_peak;
    size_t m_summaryCount = 0;
    std::optional<double> m_agreedLUFS;
    bool m_summariesDisagree = false;
    double m_lastPeak;
    std::optional<double> m_highestPeak;
    double m_decodedSec;
    SilenceTimes m_silences;
};

}  // namespace quellmark
