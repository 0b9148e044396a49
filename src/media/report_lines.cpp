#include "media/report_lines.h"

#include <algorithm>

#include "base/text.h"

namespace quellmark {
namespace {

bool mayEndLine(unsigned char c) { return (c >= '\n' && c <= '\r') || c == 0x85 || c == 0xA8 || c == 0xA9; }

}  // namespace

void ReportLineSplitter::feed(std::string_view bytes, const LineSink& sink) {
    // The byte `k` places before bytes[i], reaching back into the previous feed:
    // NEL and U+2028/9 may arrive split over two reads.
    const auto before = [&](size_t i, size_t k) -> unsigned char {
        return i >= k ? static_cast<unsigned char>(bytes[i - k]) : m_last[2 - (k - i)];
    };
    size_t segmentStart = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (!mayEndLine(c)) continue;
        size_t leadBytes = 0;  // bytes of a multi-byte line end already counted into the line
        if (c == '\n' && before(i, 1) == '\r') {
            segmentStart = i + 1;  // the LF of a CRLF whose CR ended the line
            continue;
        }
        if (c == 0x85) {
            if (before(i, 1) != 0xC2) continue;
            leadBytes = 1;
        } else if (c == 0xA8 || c == 0xA9) {
            if (before(i, 1) != 0x80 || before(i, 2) != 0xE2) continue;
            leadBytes = 2;
        }
        const std::string_view segment = bytes.substr(segmentStart, i - segmentStart);
        if (m_lineBytes == 0) {
            emit(segment.substr(0, segment.size() - leadBytes), leadBytes == 0, sink);
        } else {
            m_partial.append(segment.substr(0, kMaxLineBytes - std::min(kMaxLineBytes, m_partial.size())));
            m_lineBytes += segment.size();
            emit(std::string_view(m_partial).substr(0, m_lineBytes - leadBytes), leadBytes == 0, sink);
            m_partial.clear();
            m_lineBytes = 0;
        }
        segmentStart = i + 1;
    }
    const std::string_view rest = bytes.substr(segmentStart);
    m_partial.append(rest.substr(0, kMaxLineBytes - std::min(kMaxLineBytes, m_partial.size())));
    m_lineBytes += rest.size();
    if (bytes.size() >= 2) m_last[0] = static_cast<unsigned char>(bytes[bytes.size() - 2]);
    if (bytes.size() == 1) m_last[0] = m_last[1];
    if (!bytes.empty()) m_last[1] = static_cast<unsigned char>(bytes.back());
}

void ReportLineSplitter::finish(const LineSink& sink) {
    if (m_lineBytes > 0) emit(m_partial, false, sink);
    m_partial.clear();
    m_lineBytes = 0;
    m_last[0] = m_last[1] = 0;
}

void ReportLineSplitter::emit(std::string_view text, bool endsInAsciiBreak, const LineSink& sink) {
    text = text.substr(0, kMaxLineBytes);
    if (isValidUtf8(text)) {
        sink(ReportLine{text, endsInAsciiBreak});
        return;
    }
    m_repaired = repairUtf8(text);
    sink(ReportLine{m_repaired, endsInAsciiBreak});
}

}  // namespace quellmark
