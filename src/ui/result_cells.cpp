#include "ui/result_cells.h"

#include <cmath>
#include <limits>

#include "ui/view_model.h"

namespace quellmark {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double finiteOrNaN(double value) { return std::isfinite(value) ? value : kNaN; }

std::string signedOneDecimal(double value) {
    const std::string text = formatOneDecimal(value);
    if (text == "0.0" || text == "-0.0") return "0.0";
    return value > 0 ? "+" + text : text;
}

}  // namespace

std::string resultColumnTitle(ResultColumn column) {
    switch (column) {
    case ResultColumn::path: return "ファイル";
    case ResultColumn::title: return "タイトル";
    case ResultColumn::artist: return "アーティスト";
    case ResultColumn::duration: return "長さ";
    case ResultColumn::loudness: return "ラウドネス (LUFS)";
    case ResultColumn::truePeak: return "トゥルーピーク (dBTP)";
    case ResultColumn::gain: return "補正値 (dB)";
    case ResultColumn::leadingSilence: return "先頭の無音 (秒)";
    case ResultColumn::trailingSilence: return "末尾の無音 (秒)";
    case ResultColumn::status: return "状態";
    case ResultColumn::reason: return "理由";
    }
    return {};
}

bool isTextColumn(ResultColumn column) {
    return column == ResultColumn::path || column == ResultColumn::title || column == ResultColumn::artist ||
           column == ResultColumn::reason;
}

double resultNumber(const ResultEntry& entry, ResultColumn column) {
    const AnalyzeResult& row = *entry.row;
    switch (column) {
    case ResultColumn::duration: return finiteOrNaN(row.duration_sec);
    case ResultColumn::loudness: return finiteOrNaN(row.measured_lufs);
    case ResultColumn::truePeak: return finiteOrNaN(row.true_peak_dbfs);
    case ResultColumn::gain: return finiteOrNaN(row.gain_db);
    // A row read from a CSV without the silence columns has no silence to show.
    case ResultColumn::leadingSilence: return row.hasSilenceMeasurement ? finiteOrNaN(row.leading_silence_sec) : kNaN;
    case ResultColumn::trailingSilence: return row.hasSilenceMeasurement ? finiteOrNaN(row.trailing_silence_sec) : kNaN;
    case ResultColumn::status: return static_cast<double>(row.status);
    default: return kNaN;
    }
}

const std::string& resultText(const ResultEntry& entry, ResultColumn column) {
    switch (column) {
    case ResultColumn::path: return entry.row->relative_path;
    case ResultColumn::title: return entry.row->title;
    case ResultColumn::artist: return entry.row->artist;
    default: return entry.reason;
    }
}

std::string resultCellText(const ResultEntry& entry, ResultColumn column) {
    if (isTextColumn(column)) return resultText(entry, column);
    if (column == ResultColumn::status) {
        const std::string_view text = statusText(entry.row->status);
        return text.empty() ? "不明な状態" : std::string(text);
    }
    const double value = resultNumber(entry, column);
    if (std::isnan(value)) return {};
    if (column == ResultColumn::duration) return formatDuration(value);
    if (column == ResultColumn::gain) return signedOneDecimal(value);
    return formatOneDecimal(value);
}

std::string formatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return {};
    const auto total = static_cast<long long>(std::round(seconds));
    const long long hours = total / 3600, minutes = total / 60 % 60, secs = total % 60;
    auto twoDigits = [](long long n) { return (n < 10 ? "0" : "") + std::to_string(n); };
    if (hours > 0) return std::to_string(hours) + ":" + twoDigits(minutes) + ":" + twoDigits(secs);
    return std::to_string(minutes) + ":" + twoDigits(secs);
}

std::string clampedGainTooltip(const ResultEntry& entry, const ResultLog& log) {
    const double wanted = log.targetLUFS() - entry.row->measured_lufs;
    return "クランプ範囲 ±" + formatOneDecimal(log.clampDB()) + " dB で制限されています（本来の補正値 " +
           signedOneDecimal(wanted) + " dB）。";
}

}  // namespace quellmark
