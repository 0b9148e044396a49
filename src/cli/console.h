#pragma once
// What quellmark-cli says on its way out: its exit statuses and its lines.

#include <cstdio>
#include <string_view>

namespace quellmark {

inline constexpr int kExitFinished = 0;
/// The run failed, found no audio file, or another run holds the folder.
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
/// With --strict only: the run finished and some rows carry an error status.
inline constexpr int kExitStrictErrors = 3;
inline constexpr int kExitCancelled = 130;

/// Writes `text` and a line feed to `stream` and flushes it, so lines on
/// standard output and standard error keep their order on one terminal.
void printLine(std::FILE* stream, std::string_view text);

}  // namespace quellmark
