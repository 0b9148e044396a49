#pragma once
// Line splitting for the tools' standard error, fed as the bytes arrive. A
// line ends at LF, CR, CRLF, VT, FF, NEL (U+0085), U+2028 or U+2029: the same
// line ends that "^" recognises in the report patterns, so a line seen here and
// a line start seen by a pattern never disagree. CR matters in practice: with
// progress statistics on, ffmpeg redraws its status line with CR alone.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace quellmark {

/// One line of a tool's output: valid UTF-8 (invalid bytes replaced by U+FFFD),
/// without its line end, at most ReportLineSplitter::kMaxLineBytes long.
struct ReportLine {
    std::string_view text;
    /// The line end is one that the patterns' "\s" matches (LF, CR, CRLF, VT,
    /// FF), so a match may run on into the next line; false after NEL, U+2028,
    /// U+2029 and for a last line without a line end.
    bool endsInAsciiBreak = false;
};

/// Receives lines in order; the text is valid only during the call.
using LineSink = std::function<void(const ReportLine&)>;

/// Turns a byte stream into lines. A memory of at most one cut line: a line
/// longer than kMaxLineBytes keeps its first kMaxLineBytes bytes and loses the
/// rest, so a tool that never ends a line cannot make the reader grow.
class ReportLineSplitter {
public:
    static constexpr size_t kMaxLineBytes = 64 * 1024;

    /// Passes every line that `bytes` completes to `sink`.
    void feed(std::string_view bytes, const LineSink& sink);
    /// Passes the text after the last line end, if any, as a last line; the
    /// splitter is then ready for a new stream.
    void finish(const LineSink& sink);

private:
    void emit(std::string_view text, bool endsInAsciiBreak, const LineSink& sink);

    std::string m_partial;      // the stored (cut) bytes of the unfinished line
    size_t m_lineBytes = 0;     // its length before the cut
    unsigned char m_last[2]{};  // the last two bytes fed, [1] the latest
    std::string m_repaired;
};

}  // namespace quellmark
