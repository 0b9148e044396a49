#pragma once
// The list of failed files that ends a run's output on standard error.

#include <cstddef>
#include <string>

#include "engine/result_log.h"

namespace quellmark {

/// Failed files listed by name; the rest are only counted.
inline constexpr std::size_t kListedFailures = 50;

/// "エラー N 件:" and, per row whose status is not ok, in log order, one line
/// "  <relative path>: <reason>" for the first kListedFailures, then
/// "  …ほか M 件" for the rest; every line ends in a line feed. Empty when no
/// row failed. Control characters in paths and reasons are shown as "?", so
/// nothing a file name holds reaches the terminal as a control sequence.
std::string failureSummaryText(const ResultLog& results);

}  // namespace quellmark
