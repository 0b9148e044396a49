#include "output/csv_writer.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include "output_test_support.h"

// A disk that fails the temporary CSV as a dying or full one does: every fsync
// with EIO while `failSync` is set, and writes with ENOSPC once `roomBytes`
// more bytes went in (the last write short), unless it is negative.
struct FailingDisk {
    std::atomic<bool> failSync = false;
    std::atomic<long> roomBytes = -1;
} gDisk;

bool isTemporaryCsv(int fd) {
    char target[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    return ::readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string_view(target).ends_with("/volume_gains.csv.tmp");
}

extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (gDisk.failSync && isTemporaryCsv(fd)) return errno = EIO, -1;
    return real(fd);
}

extern "C" ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    static const auto real = reinterpret_cast<ssize_t (*)(int, const void*, size_t, off_t)>(dlsym(RTLD_NEXT, "pwrite"));
    if (gDisk.roomBytes < 0 || !isTemporaryCsv(fd)) return real(fd, data, size, offset);
    if (gDisk.roomBytes == 0) return errno = ENOSPC, -1;
    const ssize_t written = real(fd, data, std::min<size_t>(size, static_cast<size_t>(gDisk.roomBytes.load())), offset);
    if (written > 0) gDisk.roomBytes -= written;
    return written;
}

namespace quellmark {
namespace {

// The previous run measured both files; the runs below fail on "changed.flac",
// so an old meta entry left beside a new CSV would vouch for an error row.
const std::string kOldCsv = kHeader + "keep.flac,keep.flac,K,,1,-20,-1,2,ok,0,0\n"
                                      "changed.flac,changed.flac,C,,1,-20,-1,2,ok,0,0\n";
const std::string kOldMeta = R"({"changed.flac":{"mtimeNs":5,"size":5},"keep.flac":{"mtimeNs":1,"size":1}})";

class CSVWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(csv, kOldCsv);
        writeFile(dir / "volume_gains.csv.meta.json", kOldMeta);
    }
    void expectPreviousRunUntouched() {
        EXPECT_EQ(readFile(csv), kOldCsv);
        EXPECT_EQ(readFile(dir / "volume_gains.csv.meta.json"), kOldMeta);
    }
    MetaMap journal() { return decodeJournal(readFile(dir / "volume_gains.csv.meta.journal")); }
    TempDir dir;
    const fs::path csv = dir / "volume_gains.csv";
};

// A second writer on the folder is refused and changes nothing; entries reach
// the journal while the run goes on; the meta file replaces the old one only
// at finish and vouches for ok rows with an entry alone, the later of two
// entries for one path winning. A finished writer never starts over, which
// would cut the rows it handed over.
TEST_F(CSVWriterTest, FinishInstallsTheRowsAndAMetaFileOfTheirOkEntries) {
    CSVWriter writer(csv);
    ASSERT_TRUE(writer.begin());
    std::string expected = kHeader + "\"b,c.mp3\",\"b,c.mp3\",\"b,c.mp3\",,,,,0,error:decode_failed,0,0\n" + okLine("noentry");
    ASSERT_TRUE(writer.write(failedRow("b,c.mp3"), MetaEntry{9, 9}));
    ASSERT_TRUE(writer.write(okRow("noentry"), std::nullopt));
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{i, 100u + i}));
        expected += okLine("f" + std::to_string(i));
    }
    EXPECT_EQ(journal().size(), 64u);
    {
        CSVWriter second(csv);
        const auto refused = second.begin();
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().description(), "別の解析がこのフォルダに書き込み中です。");
        EXPECT_FALSE(second.write(okRow("b"), std::nullopt));
    }
    expectPreviousRunUntouched();
    ASSERT_TRUE(writer.write(okRow("f0"), MetaEntry{7, 7}));
    expected += okLine("f0");

    ASSERT_TRUE(writer.finish());
    const MetaMap meta = loadPreviousMeta(dir / "volume_gains.csv.meta.json");
    EXPECT_EQ(std::make_pair(meta.size(), meta.at("f0")), std::make_pair(size_t{64}, MetaEntry{7, 7}));
    for (const char* gone : {"volume_gains.csv.tmp", "volume_gains.csv.meta.journal", "volume_gains.csv.meta.json.tmp"}) {
        EXPECT_FALSE(fs::exists(dir / gone)) << gone;
    }
    EXPECT_FALSE(writer.begin());
    EXPECT_EQ(readFile(csv), expected);
    // `writer` still locks the installed CSV's inode: the temporary path is free again.
    EXPECT_TRUE(CSVWriter(csv).begin());
}

// A row the disk has no room for is cut off whole and never vouched for; a
// finish that cannot sync the rows installs nothing and keeps them for a resume.
TEST_F(CSVWriterTest, AFailingDiskLosesNoCompleteRowAndInstallsNothing) {
    CSVWriter writer(csv);
    ASSERT_TRUE(writer.begin());
    ASSERT_TRUE(writer.write(okRow("a"), MetaEntry{1, 1}));
    gDisk.roomBytes = 10;
    const auto full = writer.write(okRow("b"), MetaEntry{2, 2});
    gDisk.roomBytes = -1;
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().description(), std::system_category().message(ENOSPC));
    EXPECT_EQ(readFile(dir / "volume_gains.csv.tmp"), kHeader + okLine("a"));
    ASSERT_TRUE(writer.write(okRow("c"), MetaEntry{3, 3}));  // room again
    gDisk.failSync = true;
    const auto finished = writer.finish();
    gDisk.failSync = false;
    ASSERT_FALSE(finished);
    EXPECT_EQ(finished.error().description(), std::system_category().message(EIO));
    expectPreviousRunUntouched();
    EXPECT_EQ(readFile(dir / "volume_gains.csv.tmp"), kHeader + okLine("a") + okLine("c"));
    EXPECT_EQ(journal(), (MetaMap{{"a", {1, 1}}, {"c", {3, 3}}}));
    EXPECT_FALSE(writer.write(okRow("late"), std::nullopt));
}

// Links and FIFOs planted under the names of the result files, before the run
// or while it runs: nothing is written through a link nor blocks on a FIFO.
TEST(CSVWriterPlanted, NeverWritesThroughLinksNorBlocksOnFifos) {
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "FIFO" : "link");
        TempDir dir;
        writeFile(dir / "victim.txt", "precious");
        const auto plant = [&](const char* name) {
            fifo ? (void)::mkfifo((dir / name).c_str(), 0644) : fs::create_symlink(dir / "victim.txt", dir / name);
        };
        CSVWriter writer(dir / "volume_gains.csv");
        plant("volume_gains.csv.tmp");
        plant("volume_gains.csv.meta.json.tmp");
        ASSERT_TRUE(writer.begin());
        plant("volume_gains.csv.meta.journal");
        for (int i = 0; i < 64; ++i) ASSERT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{i, 1}));
        ASSERT_TRUE(writer.finish());
        EXPECT_EQ(readFile(dir / "victim.txt"), "precious");
        EXPECT_EQ(loadPreviousRows(dir / "volume_gains.csv").size(), 64u);
        EXPECT_EQ(loadPreviousMeta(dir / "volume_gains.csv.meta.json").size(), 64u);
    }
}

// The wait status of a forked child that runs `body` and exits with its result.
int waitStatusOfChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) std::_Exit(body());
    int status = 0;
    return ::waitpid(child, &status, 0) == child ? status : -1;
}

[[noreturn]] void die() {
    ::raise(SIGKILL);
    std::_Exit(99);
}

// Runs in the child and is killed after the 10th row or inside finish, once
// the CSV is installed. Returns 3 when the run itself went wrong.
int runUntil(const fs::path& csv, bool insideFinish) {
    CSVWriter writer(csv);
    if (!writer.begin()) return 3;
    if (!writer.write(failedRow("changed.flac"), std::nullopt)) return 3;
    for (int i = 0; i < 100; ++i) {
        if (!writer.write(okRow("f" + std::to_string(i)), MetaEntry{i, 2})) return 3;
        if (!insideFinish && i == 9) die();
    }
    writer.setAfterCsvInstalledHookForTesting(die);
    return writer.finish() ? 0 : 3;
}

// A run killed at any point leaves a complete CSV (the old one or the new one)
// and a meta file that only vouches for rows with status ok in that CSV.
TEST(CSVWriterCrash, AKilledRunLeavesAConsistentFolder) {
    for (const bool insideFinish : {false, true}) {
        TempDir dir;
        const fs::path csv = dir / "volume_gains.csv";
        const fs::path metaPath = dir / "volume_gains.csv.meta.json";
        writeFile(csv, kOldCsv);
        writeFile(metaPath, kOldMeta);
        const int status = waitStatusOfChild([&] { return runUntil(csv, insideFinish); });
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
        const PreviousRows rows = loadPreviousRows(csv);
        EXPECT_EQ(rows.size(), insideFinish ? 101u : 2u);
        // A missing meta file is consistent; a damaged one is not.
        const auto meta = fs::exists(metaPath) ? decodeMetaMap(readFile(metaPath)) : MetaMap{};
        ASSERT_TRUE(meta) << "meta file is not readable";
        for (const auto& [path, entry] : *meta) EXPECT_TRUE(rows.contains(path) && rows.at(path).status == RowStatus::ok) << path;
        if (!insideFinish) { EXPECT_EQ(readFile(metaPath), kOldMeta); }
        // The dead run's lock went with it: the next run can start.
        EXPECT_TRUE(CSVWriter(csv).begin());
    }
}

}  // namespace
}  // namespace quellmark
