#include "output/analyze_result.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include <unistd.h>

#include "base/text.h"
#include "base/file_descriptor.h"

namespace quellmark {
namespace {

bool needsQuotes(std::string_view field) {
    for (const char c : field) {
        if (c == ',' || c == '"' || c == '\n' || c == '\r') return true;
    }
    return false;
}

// The shared body of parseCSVLine, filling `out` so that the loader can reuse
// the strings' storage from row to row instead of allocating per field.
void splitFields(std::string_view line, std::vector<std::string>& out) {
    size_t count = 0;
    auto nextField = [&]() -> std::string& {
        if (count == out.size()) out.emplace_back();
        std::string& field = out[count++];
        field.clear();
        return field;
    };
    std::string* field = &nextField();
    bool insideQuotes = false;
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        // Copy the run up to the next character that means something in this state.
        size_t end = i;
        if (insideQuotes) {
            while (end < n && line[end] != '"') ++end;
        } else {
            while (end < n && line[end] != '"' && line[end] != ',') ++end;
        }
        field->append(line.data() + i, end - i);
        i = end;
        if (i == n) break;
        const char c = line[i++];
        if (insideQuotes) {
            if (i < n && line[i] == '"') {
                field->push_back('"');
                ++i;
            } else {
                insideQuotes = false;
            }
        } else if (c == '"') {
            insideQuotes = true;
        } else {
            field = &nextField();
        }
    }
    out.resize(count);
}

double numberOr(const std::string& text, double fallback) {
    return parseCLocaleDouble(text).value_or(fallback);
}

std::string_view stripCarriageReturns(std::string_view record) {
    while (!record.empty() && record.front() == '\r') record.remove_prefix(1);
    while (!record.empty() && record.back() == '\r') record.remove_suffix(1);
    return record;
}

// Splits CSV text into records. Records end at line feeds outside quotes
// only: a tag holding a line feed stays inside its row, so a title such as
// "x\nAlbum/01.flac,…,ok,…" can never pose as another file's row. Toggling on
// every quote tracks parseCSVLine exactly, because a doubled quote inside
// quotes toggles twice and there is no line feed between the two.
// The writer ends every row with a line feed, so a last record without one is
// a file cut short (or a quote left open to the end) and is not trusted: a row
// cut inside its last number would otherwise read back as a different row.
// Text that arrives in pieces is scanned once: the caller keeps the unfinished
// tail, appends the next piece to it, and the scan goes on where it stopped.
class RecordSplitter {
public:
    /// Calls `onRecord` for every record that ends in `text`, until it returns
    /// false; then or at the end, returns where the unfinished tail starts.
    template <class OnRecord>
    size_t split(std::string_view text, OnRecord&& onRecord) {
        size_t start = 0;
        const char* data = text.data();
        const size_t n = text.size();
        for (size_t i = m_scanned; i < n; ++i) {
            const char c = data[i];
            if (c == '"') {
                m_insideQuotes = !m_insideQuotes;
            } else if (c == '\n' && !m_insideQuotes) {
                if (!onRecord(text.substr(start, i - start))) return start;
                start = i + 1;
            }
        }
        m_scanned = n - start;
        return start;
    }

private:
    size_t m_scanned = 0;
    bool m_insideQuotes = false;
};

// Valid UTF-8 checked run by run: ASCII bytes are skipped word by word, and a
// run of bytes with the high bit set holds whole multibyte sequences when valid.
bool isValidUtf8Text(std::string_view text) {
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        while (i < n && static_cast<unsigned char>(text[i]) < 0x80) ++i;
        const size_t runStart = i;
        while (i < n && static_cast<unsigned char>(text[i]) >= 0x80) ++i;
        if (i > runStart && !isValidUtf8(text.substr(runStart, i - runStart))) return false;
    }
    return true;
}

// Turns the chunks of a result file into rows, or counts of what was skipped.
class RowReader {
public:
    RowReader(const ResultRowSink& onRow, const ResultFileLimits& limits, ResultFileReport& report)
        : m_onRow(onRow), m_limits(limits), m_report(report) {}

    /// False once the row limit is reached: nothing more is wanted.
    bool feed(std::string_view chunk) {
        m_pending.append(chunk);
        bool wantsMore = true;
        const size_t tail = m_splitter.split(m_pending, [&](std::string_view record) {
            wantsMore = takeRecord(record);
            return wantsMore;
        });
        m_pending.erase(0, tail);
        return wantsMore;
    }

    /// The text has ended here; `complete` is false when it was cut at a limit.
    void finish(bool complete) {
        if (complete && !m_pending.empty()) m_report.cutShort = true;
    }

private:
    bool takeRecord(std::string_view record) {
        if (record.empty()) return true;
        if (!m_headerSeen) {
            m_headerSeen = true;
            splitFields(stripCarriageReturns(record), m_fields);
            const auto& header = csvHeader();
            m_report.foreignHeader = m_fields.size() < 9 || m_fields.size() > header.size() ||
                                     !std::equal(m_fields.begin(), m_fields.end(), header.begin());
            return true;
        }
        if (!isValidUtf8Text(record)) {
            ++m_report.invalidUtf8Records;
            return true;
        }
        splitFields(stripCarriageReturns(record), m_fields);
        if (m_fields.size() < 9) {
            ++m_report.shortRecords;
            return true;
        }
        if (m_report.rows == m_limits.maxRows) {
            m_report.limitReached = true;
            return false;
        }
        m_onRow(resultFromFields(m_fields));
        ++m_report.rows;
        return true;
    }

    const ResultRowSink& m_onRow;
    const ResultFileLimits& m_limits;
    ResultFileReport& m_report;
    std::string m_pending;
    RecordSplitter m_splitter;
    bool m_headerSeen = false;
    std::vector<std::string> m_fields;
};

void appendNumber(std::string& out, double value) {
    if (!std::isfinite(value)) return;
    char buffer[400];  // the longest fixed text of a double is 309 digits plus sign
    char* end = buffer;
    if (std::round(value) == value) {
        // 2^63 is exactly representable and is the first magnitude int64 cannot hold.
        constexpr double kTwoPow63 = 9223372036854775808.0;
        if (value >= -kTwoPow63 && value < kTwoPow63) {
            end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(value)).ptr;
        } else {
            // Beyond int64 the exact integer the double holds, still without a decimal point.
            end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 0).ptr;
        }
    } else {
        // to_chars rounds the exact binary value like "%.1f" does, without the locale.
        end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1).ptr;
    }
    out.append(buffer, end);
}

}  // namespace

std::string_view statusText(RowStatus status) {
    switch (status) {
        case RowStatus::ok: return "ok";
        case RowStatus::ffmpegNotFound: return "error:ffmpeg_not_found";
        case RowStatus::decodeFailed: return "error:decode_failed";
        case RowStatus::unrecognized: break;
    }
    return {};
}

RowStatus parseStatus(std::string_view text) {
    for (const RowStatus status : {RowStatus::ok, RowStatus::ffmpegNotFound, RowStatus::decodeFailed}) {
        if (text == statusText(status)) return status;
    }
    return RowStatus::unrecognized;
}

const std::array<std::string, 11>& csvHeader() {
    static const std::array<std::string, 11> header = {
        "relative_path", "file_name",     "title",  "artist",
        "duration_sec",  "measured_lufs", "true_peak_dbfs", "gain_db",
        "status",        "leading_silence_sec", "trailing_silence_sec"};
    return header;
}

std::vector<std::string> csvFields(const AnalyzeResult& result) {
    return {result.relative_path,
            result.file_name,
            result.title,
            result.artist,
            formatNumber(result.duration_sec),
            formatNumber(result.measured_lufs),
            formatNumber(result.true_peak_dbfs),
            formatNumber(result.gain_db),
            std::string(statusText(result.status)),
            formatNumber(result.leading_silence_sec),
            formatNumber(result.trailing_silence_sec)};
}

std::string formatNumber(double value) {
    std::string text;
    appendNumber(text, value);
    return text;
}

std::string csvLine(std::span<const std::string> fields) {
    size_t length = fields.size();
    for (const auto& field : fields) length += field.size() + 2;
    std::string line;
    line.reserve(length);
    bool first = true;
    for (const auto& field : fields) {
        if (!first) line.push_back(',');
        first = false;
        if (!needsQuotes(field)) {
            line.append(field);
            continue;
        }
        line.push_back('"');
        std::string_view rest = field;
        for (size_t quote = rest.find('"'); quote != std::string_view::npos; quote = rest.find('"')) {
            line.append(rest.substr(0, quote + 1));
            line.push_back('"');
            rest.remove_prefix(quote + 1);
        }
        line.append(rest);
        line.push_back('"');
    }
    return line;
}

std::vector<std::string> parseCSVLine(std::string_view line) {
    std::vector<std::string> fields;
    splitFields(line, fields);
    return fields;
}

AnalyzeResult resultFromFields(std::span<const std::string> fields) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    AnalyzeResult result;
    result.relative_path = fields[0];
    result.file_name = fields[1];
    result.title = fields[2];
    result.artist = fields[3];
    result.duration_sec = numberOr(fields[4], nan);
    result.measured_lufs = numberOr(fields[5], nan);
    result.true_peak_dbfs = numberOr(fields[6], nan);
    result.gain_db = numberOr(fields[7], nan);
    result.status = parseStatus(fields[8]);
    result.leading_silence_sec = fields.size() > 9 ? numberOr(fields[9], 0) : 0;
    result.trailing_silence_sec = fields.size() > 10 ? numberOr(fields[10], 0) : 0;
    result.hasSilenceMeasurement = fields.size() >= 11;
    return result;
}

PreviousRows loadPreviousRows(const std::filesystem::path& csvFile) {
    const auto text = readWholeFile(csvFile);
    if (!text) return {};
    return parsePreviousRows(*text);
}

PreviousRows parsePreviousRows(std::string_view text) {
    PreviousRows rows;
    // Every kept row holds at least nine fields and a line feed: at least nine bytes.
    const auto lineFeeds = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    rows.reserve(std::min(lineFeeds, text.size() / 9));
    forEachCsvRow(text, [&](AnalyzeResult&& result) {
        std::string key = result.relative_path;
        rows.insert_or_assign(std::move(key), std::move(result));
    });
    return rows;
}

void forEachCsvRow(std::string_view text, const std::function<void(AnalyzeResult&&)>& onRow) {
    if (!isValidUtf8Text(text)) return;
    std::vector<std::string> fields;
    bool headerSeen = false;
    RecordSplitter().split(text, [&](std::string_view record) {
        if (record.empty()) return true;
        if (!headerSeen) {
            headerSeen = true;  // the first record is the header, whatever it holds
            return true;
        }
        splitFields(stripCarriageReturns(record), fields);
        if (fields.size() >= 9) onRow(resultFromFields(fields));
        return true;
    });
}

void appendCsvLine(std::string& out, const AnalyzeResult& result) {
    auto text = [&](std::string_view field) {
        if (!needsQuotes(field)) {
            out.append(field);
            return;
        }
        out.push_back('"');
        for (const char c : field) {
            if (c == '"') out.push_back('"');
            out.push_back(c);
        }
        out.push_back('"');
    };
    auto number = [&](double value) { appendNumber(out, value); };
    text(result.relative_path);
    out.push_back(',');
    text(result.file_name);
    out.push_back(',');
    text(result.title);
    out.push_back(',');
    text(result.artist);
    out.push_back(',');
    number(result.duration_sec);
    out.push_back(',');
    number(result.measured_lufs);
    out.push_back(',');
    number(result.true_peak_dbfs);
    out.push_back(',');
    number(result.gain_db);
    out.push_back(',');
    out.append(statusText(result.status));
    out.push_back(',');
    number(result.leading_silence_sec);
    out.push_back(',');
    number(result.trailing_silence_sec);
    out.push_back('\n');
}


ResultFileReport readResultRowsFromText(std::string_view text, const ResultRowSink& onRow, ResultFileLimits limits) {
    ResultFileReport report;
    RowReader reader(onRow, limits, report);
    const bool withinBytes = text.size() <= limits.maxBytes;
    if (!withinBytes) report.limitReached = true;
    if (reader.feed(text.substr(0, limits.maxBytes))) reader.finish(withinBytes);
    return report;
}

ResultFileReport readResultRows(const std::filesystem::path& csvFile, const ResultRowSink& onRow,
                                ResultFileLimits limits, std::stop_token stop) {
    ResultFileReport report;
    const auto fd = openRegularForReading(csvFile);
    if (!fd) {
        report.unreadable = true;
        return report;
    }
    RowReader reader(onRow, limits, report);
    std::string chunk(std::size_t{1} << 20, '\0');
    size_t total = 0;
    while (!stop.stop_requested()) {
        const ssize_t n = retryOnEintr([&] { return ::read(fd->get(), chunk.data(), chunk.size()); });
        if (n < 0) {
            report.unreadable = true;
            return report;
        }
        if (n == 0) {
            reader.finish(true);
            return report;
        }
        const size_t wanted = std::min(static_cast<size_t>(n), limits.maxBytes - total);
        total += wanted;
        if (!reader.feed(std::string_view(chunk.data(), wanted))) return report;
        if (wanted < static_cast<size_t>(n)) {
            report.limitReached = true;
            return report;
        }
    }
    return report;
}

}  // namespace quellmark
