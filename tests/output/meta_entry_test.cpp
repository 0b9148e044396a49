// The meta file, its journal, file stamps and the test for an unchanged file.
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "output_test_support.h"

namespace quellmark {
namespace {

const MetaMap kSample = {
    {"a/b.flac", {1234, 1700000000123456789ull}},
    {"Z.mp3", {9223372036854775807ll, 18446744073709551615ull}},
    {"q\"b\\s\n\t\x01/é", {-9223372036854775807ll - 1, 0}},
};

// Exact bytes sorted by name; any JSON of the shape reads back, the later of
// two members winning; one malformed entry, or a cut at any byte, spoils all.
TEST(MetaFile, EncodesExactBytesAndDecodesOnlyTheWholeShape) {
    const std::string text = encodeMetaMap(kSample);
    EXPECT_EQ(text, "{\"Z.mp3\":{\"mtimeNs\":18446744073709551615,\"size\":9223372036854775807},"
                    "\"a/b.flac\":{\"mtimeNs\":1700000000123456789,\"size\":1234},"
                    "\"q\\\"b\\\\s\\n\\t\\u0001/é\":{\"mtimeNs\":0,\"size\":-9223372036854775808}}");
    EXPECT_EQ(decodeMetaMap(text), kSample);
    EXPECT_EQ(decodeMetaMap(" {\"x\":{\"mtimeNs\":9,\"size\":9},\n\"\\u00e9\" : {\"size\":5,\"note\":[{}],\"mtimeNs\":6},"
                            "\"x\":{\"size\":-3,\"mtimeNs\":0}} "),
              (MetaMap{{"é", {5, 6}}, {"x", {-3, 0}}}));

    std::istringstream entries(readFile(QUELLMARK_TEST_DATA_DIR "/meta-malformed-entries.txt"));
    int count = 0;
    for (std::string entry; std::getline(entries, entry); ++count) {
        EXPECT_EQ(decodeMetaMap("{\"ok\":{\"mtimeNs\":1,\"size\":1}," + entry + "}"), std::nullopt) << entry;
    }
    EXPECT_EQ(count, 21);
    for (const char* bad : {"[]", "null", "{}{}", "{\"a\":{\"mtimeNs\":1,\"size\":1},}"}) EXPECT_EQ(decodeMetaMap(bad), std::nullopt);
    for (size_t cut = 0; cut < text.size(); ++cut) EXPECT_EQ(decodeMetaMap(text.substr(0, cut)), std::nullopt) << cut;
}

// Every cut of a journal keeps the lines whose JSON is whole; lines
// that do not decode are skipped and later lines win.
TEST(Journal, KeepsCompleteLinesAndLaterLinesWin) {
    const std::string text = encodeJournalLine("a", {1, 1}) + "garbage\n{\"path\":\"c\",\"mtimeNs\":-3,\"size\":3}\n" +
                             encodeJournalLine("b\"\n", {-1, 18446744073709551615ull}) + encodeJournalLine("a", {10, 10});
    EXPECT_EQ(decodeJournal(text), (MetaMap{{"a", {10, 10}}, {"b\"\n", {-1, 18446744073709551615ull}}}));
    const std::string full = encodeJournalLine("x/1", {1, 11}) + encodeJournalLine("x/2", {2, 22});
    const size_t firstEnd = full.find('\n');
    for (size_t n = 0; n <= full.size(); ++n) {
        EXPECT_EQ(decodeJournal(full.substr(0, n)).size(), n < firstEnd ? 0u : (n < full.size() - 1 ? 1u : 2u)) << n;
    }
}

void setMtime(const fs::path& path, std::int64_t seconds, long nanoseconds, int flags = 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, flags), 0) << path;
}

// Stamps go through double seconds, as earlier runs stored them (expected values
// worked out with Python floats); links are not followed.
TEST(FileStamp, NanosecondsComeFromDoubleSecondsOfTheEntryItself) {
    TempDir dir;
    writeFile(dir / "song.flac", "12345");
    // Integer nanoseconds would give ...509011200 here, the exact value ...509011111.
    setMtime(dir / "song.flac", 1762113551, 509011111);
    EXPECT_EQ(fileStamp(dir / "song.flac"), (MetaEntry{5, 1762113551509010944u}));
    fs::create_symlink("song.flac", dir / "link.flac");
    setMtime(dir / "link.flac", 1700000000, 123456789, AT_SYMLINK_NOFOLLOW);
    EXPECT_EQ(fileStamp(dir / "link.flac"), (MetaEntry{9, 1700000000123456768u}));
    EXPECT_EQ(fileStamp(dir / "missing.mp3"), (MetaEntry{-1, 0}));
    // Before 1970, and the product rounding to 2^64, which no uint64 holds.
    EXPECT_EQ(mtimeNsFromSeconds(stampSeconds(-1, 500000000)), 0u);
    EXPECT_EQ(mtimeNsFromSeconds(stampSeconds(18446744073, 709551615)), 0u);
    EXPECT_EQ(mtimeNsFromSeconds(stampSeconds(18446744073, 0)), 18446744072999999488u);
    for (const double odd : {std::nan(""), double(INFINITY)}) EXPECT_EQ(mtimeNsFromSeconds(odd), 0u) << odd;
}

TEST(CarryOver, EveryConditionMustHold) {
    const MetaEntry stamp{1234, 1762113551509010944u};
    struct Case {
        const char* what;
        bool incremental = true;
        MetaEntry current{1234, 1762113551509010944u};
        std::string status = "ok";
        bool hasSilence = true;
        std::string storedKey = "a/b.mp3";
        bool carried = false;
    };
    const Case cases[] = {
        {.what = "unchanged", .carried = true},
        {.what = "incremental off", .incremental = false},
        {.what = "error row", .status = "error:decode_failed"},
        {.what = "status of another spelling", .status = "OK"},
        {.what = "row without silence columns", .hasSilence = false},
        {.what = "no meta entry", .storedKey = "a/c.mp3"},
        {.what = "size changed", .current = {1235, stamp.mtimeNs}},
        {.what = "time changed", .current = {1234, 1762113551509011200u}},
    };
    for (const Case& c : cases) {
        AnalyzeResult row = okRow("a/b.mp3");
        row.status = parseStatus(c.status);
        row.hasSilenceMeasurement = c.hasSilence;
        const PreviousRows rows{{"a/b.mp3", row}};
        const AnalyzeResult* carried = carriedOverRow(c.incremental, "a/b.mp3", c.current, rows, {{c.storedKey, stamp}});
        EXPECT_EQ(carried, c.carried ? &rows.at("a/b.mp3") : nullptr) << c.what;
    }
    // An unreadable file matches no stamp, even a stored unreadable one.
    const PreviousRows rows{{"a", okRow("a")}};
    EXPECT_EQ(carriedOverRow(true, "a", {-1, 0}, rows, {{"a", {-1, 0}}}), nullptr);
}

}  // namespace
}  // namespace quellmark
