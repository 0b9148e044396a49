#include "engine/progress_text.h"
#include "base/text.h"

#include <cmath>
#include <optional>

#include <gtest/gtest.h>

namespace quellmark {
namespace {

TEST(TextTest, RepairsInvalidUtf8WithOneReplacementPerMaximalSubpart) {
    struct Case { std::string in, out; };
    const Case cases[] = {
        {"plain", "plain"},
        {"\xFF\xFE", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"Caf\xE9.mp3", "Caf\xEF\xBF\xBD.mp3"},
        {"\xE3\x81", "\xEF\xBF\xBD"},               // truncated three-byte sequence
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},   // overlong
        {"音声", "音声"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(repairUtf8(c.in), c.out) << c.in;
        EXPECT_EQ(isValidUtf8(c.in), c.in == c.out) << c.in;
    }
}

TEST(TextTest, ParsesNumbersStrictlyInTheCLocale) {
    struct Case { std::string in; std::optional<double> out; };
    const Case cases[] = {
        {"183.240000", 183.24}, {"-23.4", -23.4}, {"+1.5", 1.5}, {"1e3", 1000.0},
        {"", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt}, {"1,5", std::nullopt}, {"N/A", std::nullopt},
        {"+-1", std::nullopt}, {"1.5x", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseCLocaleDouble(c.in), c.out) << c.in;
    EXPECT_TRUE(std::isinf(*parseCLocaleDouble("1e999")));
    EXPECT_TRUE(std::isnan(*parseCLocaleDouble("nan")));
}

TEST(TextTest, TrimsUnicodeWhitespaceAndLineBreaks) {
    const std::pair<std::string, std::string> cases[] = {
        {"  Song\n", "Song"}, {"\u3000曲\u00A0\u2028", "曲"}, {" \t\r\n", ""}, {"a b", "a b"}};
    for (const auto& [in, out] : cases) EXPECT_EQ(trimWhitespace(in), out) << in;
}

TEST(TextTest, RemainingTimeHasNoHourUnit) {
    const std::pair<double, std::string> cases[] = {
        {0, "0秒"}, {59.4, "59秒"}, {59.5, "1分0秒"}, {125, "2分5秒"}, {3725, "62分5秒"}
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(formatRemaining(seconds), text) << seconds;
}

}  // namespace
}  // namespace quellmark
