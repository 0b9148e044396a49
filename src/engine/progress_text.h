#pragma once
// Progress texts shared by the window and the command line, so both speak alike.

#include <cstdint>
#include <string>

namespace quellmark {

/// Seconds rounded half away from zero, as "N秒" below a minute, else "M分S秒"
/// (no hour unit): 59.4 → "59秒", 59.5 → "1分0秒", 3725 → "62分5秒".
std::string formatRemaining(double seconds);
/// "12 / 340 件".
std::string countsText(std::int64_t processed, std::int64_t total);
/// "(エラー 3 件)".
std::string errorCountText(std::int64_t errors);

}  // namespace quellmark
