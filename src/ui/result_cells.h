#pragma once
// What each cell of the results table shows, as plain text: one function per
// cell, so the table, its sort keys and its tests agree on what is empty.

#include <string>

#include "engine/result_log.h"

namespace quellmark {

/// The results table's columns, in display order.
enum class ResultColumn : int {
    path,
    title,
    artist,
    duration,
    loudness,
    truePeak,
    gain,
    leadingSilence,
    trailingSilence,
    status,
    reason,
};
inline constexpr int kResultColumnCount = 11;

/// The column's header.
std::string resultColumnTitle(ResultColumn column);
/// True for the columns that hold text rather than numbers.
bool isTextColumn(ResultColumn column);
/// The number a numeric column sorts by, NaN exactly when its cell is empty.
double resultNumber(const ResultEntry& entry, ResultColumn column);
/// The text a text column sorts by and shows.
const std::string& resultText(const ResultEntry& entry, ResultColumn column);
/// What the cell shows: numbers with one decimal (gains signed), a duration as
/// minutes and seconds, the status in its CSV spelling.
std::string resultCellText(const ResultEntry& entry, ResultColumn column);
/// "3:05", or "1:02:03" from an hour on; seconds rounded half away from zero.
std::string formatDuration(double seconds);

/// The tooltip of a gain that the clamp limited, naming the correction it would have had.
std::string clampedGainTooltip(const ResultEntry& entry, const ResultLog& log);

}  // namespace quellmark
