#pragma once

#include <array>
#include <filesystem>
#include <span>
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
/// The fields of one line (at least one).
std::vector<std::string> parseCSVLine(std::string_view line);
/// The record of at least nine fields; see the CSV column rules.
AnalyzeResult resultFromFields(std::span<const std::string> fields);
/// The rows of a previous volume_gains.csv; empty on any failure. Never fails.
PreviousRows loadPreviousRows(const std::filesystem::path& csvFile);
/// The rows of CSV text as loadPreviousRows reads them (header skipped, a last
/// record without its line feed ignored); empty when the text is not UTF-8.
PreviousRows parsePreviousRows(std::string_view text);

}  // namespace quellmark
