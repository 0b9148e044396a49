#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quellmark {

/// A row's status. Its CSV text is its only spelling: "ok",
/// "error:ffmpeg_not_found", "error:decode_failed". A previous CSV may hold any
/// other text (a damaged or foreign file); that reads as `unrecognized`, which
/// is never carried over and never written.
enum class RowStatus : unsigned char { ok, ffmpegNotFound, decodeFailed, unrecognized };

/// The CSV text of `status`; empty for `unrecognized`.
std::string_view statusText(RowStatus status);
/// The status a CSV field spells; `unrecognized` for any other text.
RowStatus parseStatus(std::string_view text);

/// The outcome for one audio file: one CSV row. Unknown numbers are NaN.
/// Field names follow the CSV columns.
struct AnalyzeResult {
    std::string relative_path;
    std::string file_name;
    std::string title;
    std::string artist;
    double duration_sec = 0;
    double measured_lufs = 0;
    double true_peak_dbfs = 0;
    double gain_db = 0;
    RowStatus status = RowStatus::unrecognized;
    double leading_silence_sec = 0;
    double trailing_silence_sec = 0;
    /// False only for a row read back from a CSV line without the silence columns.
    bool hasSilenceMeasurement = true;

    friend bool operator==(const AnalyzeResult&, const AnalyzeResult&) = default;
};

/// Previous rows keyed by relative_path.
using PreviousRows = std::unordered_map<std::string, AnalyzeResult>;

/// The eleven column names, in order.
const std::array<std::string, 11>& csvHeader();
/// The eleven column texts of `result`, in column order.
std::vector<std::string> csvFields(const AnalyzeResult& result);
/// One numeric column: empty for NaN and infinities, an integer without a
/// decimal point when integral, otherwise one decimal ("%.1f" in the C locale).
std::string formatNumber(double value);
/// The fields joined by commas, quoted where needed; no line feed.
std::string csvLine(std::span<const std::string> fields);
/// Appends the CSV line of `result` and its line feed to `out`: the same bytes
/// as csvLine(csvFields(result)) and "\n", without building the fields.
void appendCsvLine(std::string& out, const AnalyzeResult& result);
/// The fields of one line (at least one).
std::vector<std::string> parseCSVLine(std::string_view line);
/// The record of at least nine fields; see the CSV column rules.
AnalyzeResult resultFromFields(std::span<const std::string> fields);
/// The rows of a previous volume_gains.csv; empty on any failure. Never fails.
PreviousRows loadPreviousRows(const std::filesystem::path& csvFile);
/// The rows of CSV text as loadPreviousRows reads them (header skipped, a last
/// record without its line feed ignored); empty when the text is not UTF-8.
PreviousRows parsePreviousRows(std::string_view text);
/// Calls `onRow` with every row of CSV text that parsePreviousRows would keep,
/// in file order (a later row of the same path comes later). Nothing when the
/// text is not UTF-8.
void forEachCsvRow(std::string_view text, const std::function<void(AnalyzeResult&&)>& onRow);

/// How much of a result file readResultRows takes at most; the rest is left unread.
struct ResultFileLimits {
    std::size_t maxRows = 500'000;
    std::size_t maxBytes = std::size_t{128} << 20;
};

/// What readResultRows handed over and what it left out.
struct ResultFileReport {
    std::size_t rows = 0;
    /// Records of fewer than nine fields after the header.
    std::size_t shortRecords = 0;
    /// Records holding bytes that are not UTF-8.
    std::size_t invalidUtf8Records = 0;
    /// The first record is not this program's header.
    bool foreignHeader = false;
    /// The text ends inside a record (no final line feed); that record is left out.
    bool cutShort = false;
    /// A limit of ResultFileLimits was reached; the rest was not read.
    bool limitReached = false;
    /// The file could not be opened or read; rows read before a read error are kept.
    bool unreadable = false;

    /// True when every record after the header became a row.
    bool isComplete() const {
        return shortRecords == 0 && invalidUtf8Records == 0 && !foreignHeader && !cutShort && !limitReached &&
               !unreadable;
    }
};

using ResultRowSink = std::function<void(AnalyzeResult&&)>;

/// Hands every row of a volume_gains.csv to `onRow` in file order, duplicates
/// included, as far as the file parses: a record that is short or not UTF-8 is
/// skipped and counted instead of failing the whole file. Opens read-only
/// without following a link or blocking on a FIFO; never writes. Reads in
/// chunks, so memory grows with the rows, not the file. Returns early when
/// `stop` is requested. Any thread.
ResultFileReport readResultRows(const std::filesystem::path& csvFile, const ResultRowSink& onRow,
                                ResultFileLimits limits = {}, std::stop_token stop = {});
/// readResultRows over CSV text already in memory (maxBytes applies to it too).
ResultFileReport readResultRowsFromText(std::string_view text, const ResultRowSink& onRow,
                                        ResultFileLimits limits = {});

}  // namespace quellmark
