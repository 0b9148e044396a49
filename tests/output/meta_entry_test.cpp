// The meta file, its journal, file stamps and the test for an unchanged file.
#include <fcntl.h>
#include <sys/stat.h>

#include <sstream>

#include <gtest/gtest.h>

#include "output_test_support.h"

namespace quellmark {
namespace {

// Exact bytes sorted by name; another writer's spacing and member order read
// back; one malformed entry, or a cut at any byte, spoils the whole file.
TEST(MetaFile, EncodesExactBytesAndDecodesOnlyTheWholeShape) {
    const MetaMap sample = {{"a/b.flac", {1234, 1700000000123456789ull}},
                            {"Z.mp3", {9223372036854775807ll, 18446744073709551615ull}},
                            {"q\"b\\s\n\t\x01/é", {-9223372036854775807ll - 1, 0}}};
    const std::string text = encodeMetaMap(sample);
    EXPECT_EQ(text, "{\"Z.mp3\":{\"mtimeNs\":18446744073709551615,\"size\":9223372036854775807},"
                    "\"a/b.flac\":{\"mtimeNs\":1700000000123456789,\"size\":1234},"
                    "\"q\\\"b\\\\s\\n\\t\\u0001/é\":{\"mtimeNs\":0,\"size\":-9223372036854775808}}");
    EXPECT_EQ(decodeMetaMap(text), sample);
    EXPECT_EQ(decodeMetaMap(" {\"\\u00e9\" : {\"size\":5,\"note\":[{}],\"mtimeNs\":6}} "), (MetaMap{{"é", {5, 6}}}));
    std::istringstream entries(readFile(QUELLMARK_TEST_DATA_DIR "/meta-malformed-entries.txt"));
    for (std::string entry; std::getline(entries, entry);) {
        EXPECT_EQ(decodeMetaMap("{\"ok\":{\"mtimeNs\":1,\"size\":1}," + entry + "}"), std::nullopt) << entry;
    }
    for (size_t cut = 0; cut < text.size(); ++cut) EXPECT_EQ(decodeMetaMap(text.substr(0, cut)), std::nullopt) << cut;
}

// Stamps go through double seconds, as earlier runs stored them (expected values
// worked out with Python floats); links are not followed.
TEST(FileStamp, NanosecondsComeFromDoubleSecondsOfTheEntryItself) {
    TempDir dir;
    writeFile(dir / "song.flac", "12345");
    fs::create_symlink("song.flac", dir / "link.flac");
    // Integer nanoseconds would give ...509011200 here, the exact value ...509011111.
    const timespec times[2] = {{0, UTIME_OMIT}, {1762113551, 509011111}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "song.flac").c_str(), times, 0), 0);
    EXPECT_EQ(fileStamp(dir / "song.flac"), (MetaEntry{5, 1762113551509010944u}));
    EXPECT_EQ(fileStamp(dir / "link.flac").size, 9);
    EXPECT_EQ(fileStamp(dir / "missing.mp3"), (MetaEntry{-1, 0}));
    // Before 1970, and the product rounding to 2^64, which no uint64 holds.
    EXPECT_EQ(mtimeNsFromSeconds(stampSeconds(-1, 500000000)), 0u);
    EXPECT_EQ(mtimeNsFromSeconds(stampSeconds(18446744073, 709551615)), 0u);
    EXPECT_EQ(mtimeNsFromSeconds(stampSeconds(18446744073, 0)), 18446744072999999488u);
}

TEST(CarryOver, EveryConditionMustHold) {
    const MetaEntry stamp{1234, 1762113551509010944u};
    struct Case {
        const char* what;
        MetaEntry current{1234, 1762113551509010944u};
        RowStatus status = RowStatus::ok;
        bool hasSilence = true;
        std::optional<MetaEntry> stored = MetaEntry{1234, 1762113551509010944u};
        bool unchanged = false;
    };
    const Case cases[] = {
        {.what = "unchanged", .unchanged = true},
        {.what = "error row", .status = RowStatus::decodeFailed},
        {.what = "status of another spelling", .status = parseStatus("OK")},
        {.what = "row without silence columns", .hasSilence = false},
        {.what = "no meta entry", .stored = std::nullopt},
        {.what = "size changed", .current = {1235, stamp.mtimeNs}},
        {.what = "time changed", .current = {1234, 1762113551509011200u}},
        // An unreadable file matches no stamp, even a stored unreadable one.
        {.what = "unreadable", .current = {-1, 0}, .stored = MetaEntry{-1, 0}},
    };
    for (const Case& c : cases) {
        AnalyzeResult row = okRow("a/b.mp3");
        row.status = c.status;
        row.hasSilenceMeasurement = c.hasSilence;
        EXPECT_EQ(isUnchanged(row, c.stored, c.current), c.unchanged) << c.what;
    }
}

}  // namespace
}  // namespace quellmark
