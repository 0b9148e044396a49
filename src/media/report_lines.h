#pragma once
// Line splitting for ffmpeg's standard error. The report is UTF-8 (repaired by
// the runner), and a line ends at LF, CR, CRLF, VT, FF, NEL (U+0085), U+2028 or
// U+2029: the same line ends that "^" recognises in the report patterns, so a
// line seen here and a line start seen by a pattern never disagree. CR matters
// in practice: with progress statistics on, ffmpeg redraws its status line
// with CR alone.

#include <string_view>

namespace quellmark {

/// Calls `onLine` with every line of `text`, in order, without its line end.
/// Text after the last line end is a line too; an empty text has no line.
template <class OnLine>
void forEachReportLine(std::string_view text, OnLine&& onLine) {
    size_t lineStart = 0;
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t endLength = 0;
        if (c == '\n' || c == '\v' || c == '\f') {
            endLength = 1;
        } else if (c == '\r') {
            endLength = (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
            endLength = 2;
        } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                    static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            endLength = 3;
        }
        if (endLength == 0) {
            ++i;
            continue;
        }
        onLine(text.substr(lineStart, i - lineStart));
        i += endLength;
        lineStart = i;
    }
    if (lineStart < text.size()) onLine(text.substr(lineStart));
}

}  // namespace quellmark
