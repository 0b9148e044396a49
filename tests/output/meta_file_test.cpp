#include <sstream>

#include <gtest/gtest.h>

#include "output_test_support.h"

namespace quellmark {
namespace {

constexpr std::uint64_t kMaxMtime = 18446744073709551615ull;
constexpr std::int64_t kMinSize = -9223372036854775807ll - 1;
constexpr std::int64_t kMaxSize = 9223372036854775807ll;

const MetaMap kSample = {
    {"a/b.flac", {1234, 1700000000123456789ull}},
    {"Z.mp3", {kMaxSize, kMaxMtime}},
    {"é.ogg", {kMinSize, 0}},
    {"q\"b\\s\n\t\x01\x1f/x", {-1, 7}},
};

TEST(MetaFile, EncodesExactBytesSortedByName) {
    EXPECT_EQ(encodeMetaMap({}), "{}");
    EXPECT_EQ(encodeMetaMap(kSample),
              "{\"Z.mp3\":{\"mtimeNs\":18446744073709551615,\"size\":9223372036854775807},"
              "\"a/b.flac\":{\"mtimeNs\":1700000000123456789,\"size\":1234},"
              "\"q\\\"b\\\\s\\n\\t\\u0001\\u001f/x\":{\"mtimeNs\":7,\"size\":-1},"
              "\"é.ogg\":{\"mtimeNs\":0,\"size\":-9223372036854775808}}");
    EXPECT_EQ(decodeMetaMap(encodeMetaMap(kSample)), kSample);
    EXPECT_EQ(encodeJournalLine("a\"\n", {kMinSize, kMaxMtime}),
              "{\"path\":\"a\\\"\\n\",\"mtimeNs\":18446744073709551615,\"size\":-9223372036854775808}\n");
}

TEST(MetaFile, DecodesAnyJsonOfTheShape) {
    const MetaMap expected = {{"é", {5, 6}}, {"x", {-3, 0}}};
    const char* texts[] = {
        "{\"é\":{\"mtimeNs\":6,\"size\":5},\"x\":{\"mtimeNs\":0,\"size\":-3}}",
        " {\n \"x\" : { \"size\" : -3 , \"mtimeNs\" : 0 } ,\t\"\\u00e9\":{\"size\":5,\"mtimeNs\":6} }\n",
        "{\"x\":{\"size\":-3,\"mtimeNs\":0,\"note\":{\"deep\":[1,{\"a\":null}]},\"flag\":true,\"f\":1.5,\"s\":\"v\"},"
        "\"\\u00E9\":{\"mtimeNs\":6,\"size\":5,\"list\":[]}}",
        // Later members win, as a JSON object reader keeps the last.
        "{\"x\":{\"mtimeNs\":9,\"size\":9},\"é\":{\"mtimeNs\":6,\"size\":5},\"x\":{\"mtimeNs\":0,\"size\":-3}}",
    };
    for (const char* text : texts) EXPECT_EQ(decodeMetaMap(text), expected) << text;
    EXPECT_EQ(decodeMetaMap("{\"\\ud83c\\udfb5\":{\"mtimeNs\":1,\"size\":2}}"), (MetaMap{{"\xF0\x9F\x8E\xB5", {2, 1}}}));
}

TEST(MetaFile, RejectsEveryMalformedVariantWhole) {
    const std::string good = "\"ok\":{\"mtimeNs\":1,\"size\":1},";
    // One malformed entry per line; each spoils the whole file beside a good one.
    std::istringstream entries(readFile(QUELLMARK_TEST_DATA_DIR "/meta-malformed-entries.txt"));
    int count = 0;
    for (std::string entry; std::getline(entries, entry); ++count) {
        EXPECT_EQ(decodeMetaMap("{" + good + entry + "}"), std::nullopt) << entry;
    }
    EXPECT_EQ(count, 21);
    for (const char* text : {"", " ", "[]", "1", "null", "\"x\"", "{", "{}x", "{}{}", "{\"a\":{\"mtimeNs\":1,\"size\":1},}"}) {
        EXPECT_EQ(decodeMetaMap(text), std::nullopt) << text;
    }
    // Nor does a meta file cut at any byte.
    const std::string text = encodeMetaMap(kSample);
    for (size_t cut = 0; cut < text.size(); ++cut) EXPECT_EQ(decodeMetaMap(text.substr(0, cut)), std::nullopt) << cut;
}

TEST(Journal, SkipsLinesThatDoNotDecodeAndLaterLinesWin) {
    const std::string text = encodeJournalLine("a", {1, 1}) + encodeJournalLine("b", {2, 2}) + "\n" +
                             "{\"mtimeNs\":3,\"size\":3}\n"                  // no path
                             "{\"path\":\"c\",\"mtimeNs\":-3,\"size\":3}\n"  // negative time
                             "{\"path\":7,\"mtimeNs\":3,\"size\":3}\n"       // path not text
                             "garbage\n"
                             "{\"size\":4,\"extra\":[{}],\"path\":\"d\",\"mtimeNs\":4}\n" +
                             encodeJournalLine("a", {10, 10});
    EXPECT_EQ(decodeJournal(text), (MetaMap{{"a", {10, 10}}, {"b", {2, 2}}, {"d", {4, 4}}}));

    // Every cut of a journal keeps exactly the complete lines before it.
    const std::string full = encodeJournalLine("x/1", {1, 11}) + encodeJournalLine("x/2", {2, 22});
    const size_t firstEnd = full.find('\n');
    for (size_t n = 0; n <= full.size(); ++n) {
        const size_t expectedCount = n < firstEnd ? 0 : (n < full.size() - 1 ? 1 : 2);
        EXPECT_EQ(decodeJournal(full.substr(0, n)).size(), expectedCount) << n;
    }
}

}  // namespace
}  // namespace quellmark
