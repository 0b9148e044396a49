#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>

#include <gtest/gtest.h>

#include "output_test_support.h"

namespace quellmark {
namespace {

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
        {0, 999999999, 999999999u},
        {1, 1, 1000000001u},
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
        bool incremental = true;
        std::string path = "a/b.mp3";
        MetaEntry current{1234, 1762113551509010944u};
        std::string status = "ok";
        bool hasSilence = true;
        std::string storedKey = "a/b.mp3";
        bool carried = false;
    };
    const Case cases[] = {
        {.what = "unchanged", .carried = true},
        {.what = "incremental off", .incremental = false},
        {.what = "no previous row", .path = "a/B.mp3", .storedKey = "a/B.mp3"},
        {.what = "error row", .status = "error:decode_failed"},
        {.what = "status is compared exactly", .status = "OK"},
        {.what = "row without silence columns", .hasSilence = false},
        {.what = "no meta entry", .storedKey = "a/c.mp3"},
        {.what = "size changed", .current = {1235, stamp.mtimeNs}},
        {.what = "time changed", .current = {1234, 1762113551509011200u}},
    };
    for (const Case& c : cases) {
        AnalyzeResult row = okRow("a/b.mp3");
        row.status = c.status;
        row.hasSilenceMeasurement = c.hasSilence;
        const PreviousRows rows{{"a/b.mp3", row}};
        const AnalyzeResult* carried = carriedOverRow(c.incremental, c.path, c.current, rows, {{c.storedKey, stamp}});
        EXPECT_EQ(carried, c.carried ? &rows.at("a/b.mp3") : nullptr) << c.what;
    }
    // An unreadable file matches no stamp, even a stored unreadable one.
    const MetaEntry unreadable{-1, 0};
    const PreviousRows rows{{"a", okRow("a")}};
    EXPECT_EQ(carriedOverRow(true, "a", unreadable, rows, {{"a", unreadable}}), nullptr);
}

}  // namespace
}  // namespace quellmark
