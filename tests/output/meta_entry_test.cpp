// The meta file, its journal, file stamps and the test for an unchanged file.
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
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

void setMtime(const fs::path& path, std::int64_t seconds, long nanoseconds, int flags = 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, flags), 0) << path;
}

// Expected values were worked out independently (Python floats, exact integers).
TEST(FileStamp, NanosecondsComeFromDoubleSeconds) {
    const struct {
        std::int64_t sec, nsec;
        std::uint64_t expected;
    } cases[] = {
        {1700000000, 123456789, 1700000000123456768u},
        // Integer nanoseconds / 1e9 would give ...509011200 here, the exact value is ...509011111.
        {1762113551, 509011111, 1762113551509010944u},
        {-1, 500000000, 0},
        {18446744073, 0, 18446744072999999488u},
        // The product rounds to 2^64, which no uint64 holds.
        {18446744073, 709551615, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mtimeNsFromSeconds(stampSeconds(c.sec, c.nsec)), c.expected) << c.sec << "." << c.nsec;
    }
    for (const double odd : {std::nan(""), -0.0, -1e-300, std::numeric_limits<double>::infinity(), 1e300}) {
        EXPECT_EQ(mtimeNsFromSeconds(odd), 0u) << odd;
    }
}

TEST(FileStamp, ReadsTheEntryItselfWithoutFollowingLinks) {
    TempDir dir;
    writeFile(dir / "song.flac", "12345");
    setMtime(dir / "song.flac", 1762113551, 509011111);
    EXPECT_EQ(fileStamp(dir / "song.flac"), (MetaEntry{5, 1762113551509010944u}));
    writeFile(dir / "old.mp3", "");
    setMtime(dir / "old.mp3", -100000, 5);
    EXPECT_EQ(fileStamp(dir / "old.mp3"), (MetaEntry{0, 0}));
    fs::create_symlink("song.flac", dir / "link.flac");
    setMtime(dir / "link.flac", 1700000000, 123456789, AT_SYMLINK_NOFOLLOW);
    EXPECT_EQ(fileStamp(dir / "link.flac"), (MetaEntry{9, 1700000000123456768u}));
    EXPECT_EQ(fileStamp(dir / "missing.mp3"), (MetaEntry{-1, 0}));
}

TEST(CarryOver, EveryConditionMustHold) {
    const MetaEntry stamp{1234, 1762113551509010944u};
    struct Case {
        const char* what;
        MetaEntry current{1234, 1762113551509010944u};
        std::string status = "ok";
        bool hasSilence = true;
        std::optional<MetaEntry> stored = MetaEntry{1234, 1762113551509010944u};
        bool unchanged = false;
    };
    const Case cases[] = {
        {.what = "unchanged", .unchanged = true},
        {.what = "error row", .status = "error:decode_failed"},
        {.what = "status is compared exactly", .status = "OK"},
        {.what = "row without silence columns", .hasSilence = false},
        {.what = "no meta entry", .stored = std::nullopt},
        {.what = "size changed", .current = {1235, stamp.mtimeNs}},
        {.what = "time changed", .current = {1234, 1762113551509011200u}},
        // An unreadable file matches no stamp, even a stored unreadable one.
        {.what = "unreadable", .current = {-1, 0}, .stored = MetaEntry{-1, 0}},
    };
    for (const Case& c : cases) {
        AnalyzeResult row = okRow("a/b.mp3");
        row.status = parseStatus(c.status);
        row.hasSilenceMeasurement = c.hasSilence;
        EXPECT_EQ(isUnchanged(row, c.stored, c.current), c.unchanged) << c.what;
    }
}

}  // namespace
}  // namespace quellmark
