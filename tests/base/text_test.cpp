#include "base/text.h"

#include <cmath>
#include <optional>

#include <gtest/gtest.h>

#include "engine/progress_text.h"

namespace quellmark {
namespace {

// One U+FFFD per maximal invalid subpart: truncated, surrogate and overlong sequences.
TEST(Text, RepairsInvalidUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"}, {"音声", "音声"}, {"Caf\xE9.mp3", "Caf\xEF\xBF\xBD.mp3"}, {"\xE3\x81", "\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"}};
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(repairUtf8(in), out) << in;
        EXPECT_EQ(isValidUtf8(in), in == out) << in;
    }
}

TEST(Text, ParsesNumbersStrictlyTrimsAndFormatsTime) {
    const std::pair<std::string, std::optional<double>> numbers[] = {
        {"183.240000", 183.24}, {"+1.5", 1.5}, {"1e3", 1000.0}, {"", std::nullopt}, {" 1", std::nullopt},
        {"1 ", std::nullopt},   {"1,5", std::nullopt}, {"+-1", std::nullopt}, {"N/A", std::nullopt}};
    for (const auto& [in, out] : numbers) EXPECT_EQ(parseCLocaleDouble(in), out) << in;
    EXPECT_TRUE(std::isinf(*parseCLocaleDouble("1e999")));

    const std::pair<std::string, std::string> trimmed[] = {{"  Song\n", "Song"}, {"\u3000曲\u00A0\u2028", "曲"}, {" \t\r\n", ""}};
    for (const auto& [in, out] : trimmed) EXPECT_EQ(trimWhitespace(in), out) << in;

    const std::pair<double, std::string> times[] = {{59.4, "59秒"}, {59.5, "1分0秒"}, {3725, "62分5秒"}};
    for (const auto& [seconds, text] : times) EXPECT_EQ(formatRemaining(seconds), text) << seconds;
}

}  // namespace
}  // namespace quellmark
