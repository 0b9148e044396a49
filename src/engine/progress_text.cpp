#include "engine/progress_text.h"

#include <cmath>

namespace quellmark {

std::string formatRemaining(double seconds) {
    const auto s = static_cast<std::int64_t>(std::round(seconds));
    if (s > 59) return std::to_string(s / 60) + "分" + std::to_string(s % 60) + "秒";
    return std::to_string(s) + "秒";
}

std::string countsText(std::int64_t processed, std::int64_t total) {
    return std::to_string(processed) + " / " + std::to_string(total) + " 件";
}

std::string errorCountText(std::int64_t errors) { return "(エラー " + std::to_string(errors) + " 件)"; }

}  // namespace quellmark
