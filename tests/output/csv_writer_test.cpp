#include "output/csv_writer.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "output_test_support.h"
#include "support/child_process.h"

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

// Writing works only between begin and finish; a second writer on the folder is
// refused and changes nothing; the journal takes entries 64 at a time; the meta
// file replaces the old one only at finish and vouches for ok rows with an
// entry alone, the later of two entries for one path winning.
TEST_F(CSVWriterTest, FinishInstallsTheRowsAndAMetaFileOfTheirOkEntries) {
    CSVWriter writer(csv);
    const auto early = writer.write(okRow("a"), std::nullopt);
    ASSERT_FALSE(early);
    EXPECT_EQ(early.error().description(), "CSV書き込み先が初期化されていません");
    ASSERT_TRUE(writer.begin());
    std::string expected = kHeader + "\"b,c.mp3\",\"b,c.mp3\",\"b,c.mp3\",,,,,0,error:decode_failed,0,0\n" +
                           okLine("noentry.mp3");
    ASSERT_TRUE(writer.write(failedRow("b,c.mp3"), MetaEntry{9, 9}));
    ASSERT_TRUE(writer.write(okRow("noentry.mp3"), std::nullopt));
    for (int i = 0; i < 64; ++i) {
        EXPECT_TRUE(journal().empty());
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
        EXPECT_TRUE(second.finish());
    }
    expectPreviousRunUntouched();
    ASSERT_TRUE(writer.write(okRow("f0"), MetaEntry{7, 7}));
    expected += okLine("f0");

    ASSERT_TRUE(writer.finish());
    EXPECT_TRUE(writer.hasInstalledOutput());
    const MetaMap meta = loadPreviousMeta(dir / "volume_gains.csv.meta.json");
    EXPECT_EQ(meta.size(), 64u);
    EXPECT_EQ(meta.at("f0"), (MetaEntry{7, 7}));
    for (const char* gone : {"volume_gains.csv.tmp", "volume_gains.csv.meta.journal", "volume_gains.csv.meta.json.tmp"}) {
        EXPECT_FALSE(fs::exists(dir / gone)) << gone;
    }
    EXPECT_FALSE(writer.write(okRow("b"), std::nullopt));
    EXPECT_TRUE(writer.finish());  // a second finish does nothing
    EXPECT_FALSE(writer.begin());  // nor can a finished writer start over
    EXPECT_EQ(readFile(csv), expected);
    // `writer` still holds its lock, now on the installed CSV's inode: a new run
    // must see that the temporary path is free again.
    EXPECT_TRUE(CSVWriter(csv).begin());
}

// Abandoning, dropping without finish, and finishing without begin install
// nothing (what an abandon leaves for a resume is the resume test's).
TEST_F(CSVWriterTest, AbandonKeepsRowsAndJournalForAResume) {
    writeFile(dir / "volume_gains.csv.tmp", kHeader + "stray,row\n");  // a crashed run's leftover
    EXPECT_TRUE(CSVWriter(csv).finish());
    EXPECT_EQ(readFile(dir / "volume_gains.csv.tmp"), kHeader + "stray,row\n");
    {
        CSVWriter writer(csv);
        ASSERT_TRUE(writer.begin());
        ASSERT_TRUE(writer.write(okRow("f"), MetaEntry{1, 3}));
        writer.abandon();
        EXPECT_FALSE(writer.write(okRow("late"), std::nullopt));
        EXPECT_TRUE(writer.finish());
        EXPECT_FALSE(writer.hasInstalledOutput());
    }
    expectPreviousRunUntouched();
    EXPECT_EQ(journal().size(), 1u);
    {
        CSVWriter dropped(csv);
        ASSERT_TRUE(dropped.begin());  // a new run starts afresh: the old journal goes
        EXPECT_FALSE(fs::exists(dir / "volume_gains.csv.meta.journal"));
        ASSERT_TRUE(dropped.write(okRow("x"), MetaEntry{1, 1}));
    }
    expectPreviousRunUntouched();
}

// Links and FIFOs planted under the names of the result files, before the run
// or while it runs: nothing is written through a link nor blocks on a FIFO.
TEST(CSVWriterPlanted, NeverWritesThroughLinksNorBlocksOnFifos) {
    const std::pair<const char*, bool> places[] = {
        {"volume_gains.csv.tmp", false},           {"volume_gains.csv.meta.journal", false},
        {"volume_gains.csv.meta.journal", true},   {"volume_gains.csv.meta.json.tmp", false},
        {"volume_gains.csv.meta.json.tmp", true},
    };
    for (const auto& [name, afterBegin] : places) {
        for (const bool fifo : {false, true}) {
            SCOPED_TRACE(std::string(name) + (fifo ? " FIFO" : " link") + (afterBegin ? " after begin" : ""));
            TempDir dir;
            writeFile(dir / "victim.txt", "precious");
            const auto plant = [&, name = name] {
                if (fifo) {
                    ASSERT_EQ(::mkfifo((dir / name).c_str(), 0644), 0);
                } else {
                    fs::create_symlink(dir / "victim.txt", dir / name);
                }
            };
            CSVWriter writer(dir / "volume_gains.csv");
            if (!afterBegin) plant();
            ASSERT_TRUE(writer.begin());
            if (afterBegin) plant();
            for (int i = 0; i < 64; ++i) ASSERT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{i, 1}));
            ASSERT_TRUE(writer.finish());
            EXPECT_EQ(readFile(dir / "victim.txt"), "precious");
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "volume_gains.csv")));
            EXPECT_EQ(loadPreviousRows(dir / "volume_gains.csv").size(), 64u);
            EXPECT_EQ(loadPreviousMeta(dir / "volume_gains.csv.meta.json").size(), 64u);
            EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "volume_gains.csv.meta.journal")));
        }
    }
}

TEST(CSVWriterBegin, FailureChangesNothing) {
    TempDir dir;
    // A file where a parent folder should be: no one, root included, can create below it.
    writeFile(dir / "plain", "x");
    CSVWriter blocked(dir / "plain" / "sub" / "volume_gains.csv");
    const auto result = blocked.begin();
    ASSERT_FALSE(result);
    ASSERT_NE(result.error().systemError(), nullptr);
    EXPECT_EQ(*result.error().systemError(), std::errc::not_a_directory);

    // Root writes into a read-only folder anyway, so the attempt runs in a
    // child that has given root up for the user "nobody".
    const fs::path readOnly = dir / "read-only";
    writeFile(readOnly / "volume_gains.csv", kOldCsv);
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                  fs::perms::others_exec);
    const int status = test::waitStatusOfChild([&] {
        if (geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 254;
        const auto began = CSVWriter(readOnly / "volume_gains.csv").begin();
        return began ? 0 : began.error().systemError() ? began.error().systemError()->value() : 255;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == EACCES) << status;
    EXPECT_EQ(readFile(readOnly / "volume_gains.csv"), kOldCsv);
    EXPECT_FALSE(fs::exists(readOnly / "volume_gains.csv.tmp"));
}

// A full disk must fail the write with the system's message and leave only
// complete lines in the temporary CSV.
TEST(CSVWriterDiskFull, CutsBackToTheLastCompleteLine) {
    TempDir dir;
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{dir.path()};

    writeFile(dir / "volume_gains.csv", kOldCsv);
    CSVWriter writer(dir / "volume_gains.csv");
    ASSERT_TRUE(writer.begin());
    AnalyzeResult row = okRow("x");
    row.title = std::string(1500, 't');  // long rows cross page boundaries often
    Result<void> written;
    int rows = 0;
    for (; rows < 1000 && written; ++rows) {
        row.relative_path = "f" + std::to_string(rows);
        written = writer.write(row, MetaEntry{rows, 1});
    }
    ASSERT_FALSE(written) << "64 KiB never filled up";
    EXPECT_EQ(written.error().description(), std::system_category().message(ENOSPC));
    writer.abandon();
    const std::string tmp = readFile(dir / "volume_gains.csv.tmp");
    EXPECT_TRUE(tmp.ends_with('\n'));
    EXPECT_EQ(loadPreviousRows(dir / "volume_gains.csv.tmp").size(), static_cast<size_t>(rows - 1));
    EXPECT_EQ(readFile(dir / "volume_gains.csv"), kOldCsv);
}

enum class CrashPoint { beforeBegin, afterBegin, betweenRows, after64thEntry, insideFinish, afterFinish };

[[noreturn]] void die() {
    ::raise(SIGKILL);
    std::_Exit(99);
}

AnalyzeResult crashRow(const std::string& path, const char* status) {
    return {path, path, "T", "", 2, -20, -1, 2, parseStatus(status), 0, 0, true};
}

// Runs in the child and is killed at `point`. Returns 3 when the run itself went wrong.
int runUntil(const fs::path& csv, CrashPoint point) {
    CSVWriter writer(csv);
    if (point == CrashPoint::beforeBegin) die();
    if (!writer.begin()) return 3;
    if (point == CrashPoint::afterBegin) die();
    if (!writer.write(crashRow("changed.flac", "error:decode_failed"), std::nullopt)) return 3;
    if (!writer.write(crashRow("keep.flac", "ok"), MetaEntry{1, 1})) return 3;
    for (int i = 0; i < 100; ++i) {
        if (!writer.write(crashRow("f" + std::to_string(i), "ok"), MetaEntry{i, 2})) return 3;
        if (point == CrashPoint::betweenRows && i == 9) die();
        if (point == CrashPoint::after64thEntry && i == 62) die();
    }
    if (point == CrashPoint::insideFinish) writer.setAfterCsvInstalledHookForTesting(die);
    if (!writer.finish()) return 3;
    if (point == CrashPoint::afterFinish) die();
    return 0;
}

// A run killed at any point must leave a complete CSV (the old one or the new
// one) and a meta file that only vouches for rows with status ok in that CSV.
TEST(CSVWriterCrash, EveryCrashPointLeavesAConsistentFolder) {
    std::string newCsv = kHeader + "changed.flac,changed.flac,T,,2,-20,-1,2,error:decode_failed,0,0\n" +
                         "keep.flac,keep.flac,T,,2,-20,-1,2,ok,0,0\n";
    for (int i = 0; i < 100; ++i) newCsv += "f" + std::to_string(i) + ",f" + std::to_string(i) + ",T,,2,-20,-1,2,ok,0,0\n";
    for (const CrashPoint point : {CrashPoint::beforeBegin, CrashPoint::afterBegin, CrashPoint::betweenRows,
                                   CrashPoint::after64thEntry, CrashPoint::insideFinish, CrashPoint::afterFinish}) {
        SCOPED_TRACE(static_cast<int>(point));
        const bool newCsvInstalled = point >= CrashPoint::insideFinish;
        TempDir dir;
        const fs::path csv = dir / "volume_gains.csv";
        const fs::path metaPath = dir / "volume_gains.csv.meta.json";
        writeFile(csv, kOldCsv);
        writeFile(metaPath, kOldMeta);
        const int status = test::waitStatusOfChild([&] { return runUntil(csv, point); });
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;

        EXPECT_EQ(readFile(csv), newCsvInstalled ? newCsv : kOldCsv);
        const PreviousRows rows = loadPreviousRows(csv);
        // A missing meta file is consistent; a damaged one is not.
        const auto meta = fs::exists(metaPath) ? decodeMetaMap(readFile(metaPath)) : MetaMap{};
        ASSERT_TRUE(meta) << "meta file is not readable";
        for (const auto& [path, entry] : *meta) {
            ASSERT_TRUE(rows.contains(path)) << path;
            EXPECT_EQ(rows.at(path).status, RowStatus::ok) << path;
        }
        if (!newCsvInstalled) { EXPECT_EQ(readFile(metaPath), kOldMeta); }
        if (point == CrashPoint::afterFinish) { EXPECT_EQ(meta->size(), 101u); }
        if (point == CrashPoint::after64thEntry) {
            EXPECT_EQ(decodeJournal(readFile(dir / "volume_gains.csv.meta.journal")).size(), 64u);
        }
        // The dead run's lock went with it: the next run can start.
        EXPECT_TRUE(CSVWriter(csv).begin());
    }
}

}  // namespace
}  // namespace quellmark
