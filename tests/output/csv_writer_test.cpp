#include "output/csv_writer.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

const std::string kHeaderLine = readFile(QUELLMARK_TEST_DATA_DIR "/csv-header.txt");
// The previous run measured both files; the runs below fail on "changed.flac",
// so an old meta entry left beside a new CSV would vouch for an error row.
const std::string kOldCsv = kHeaderLine + "keep.flac,keep.flac,K,,1,-20,-1,2,ok,0,0\n"
                                          "changed.flac,changed.flac,C,,1,-20,-1,2,ok,0,0\n";
const std::string kOldMeta = R"({"changed.flac":{"mtimeNs":5,"size":5},"keep.flac":{"mtimeNs":1,"size":1}})";

AnalyzeResult okRow(const std::string& path, double gain = -3.5) {
    return {path, path, "T", "A", 10.5, -14.5, -0.5, gain, "ok", 0.4, 1.2, true};
}

AnalyzeResult failedRow(const std::string& path) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {path, path, path, "", nan, nan, nan, 0, "error:decode_failed", 0, 0, true};
}

std::string okLine(const std::string& path) { return path + "," + path + ",T,A,10.5,-14.5,-0.5,-3.5,ok,0.4,1.2\n"; }

class CSVWriterTest : public ::testing::Test {
protected:
    fs::path csvPath() const { return m_dir / "volume_gains.csv"; }
    fs::path file(const char* name) const { return m_dir / name; }
    void writePreviousRun() {
        writeFile(csvPath(), kOldCsv);
        writeFile(file("volume_gains.csv.meta.json"), kOldMeta);
    }
    void expectPreviousRunUntouched() {
        EXPECT_EQ(readFile(csvPath()), kOldCsv);
        EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), kOldMeta);
    }
    TempDir m_dir;
};

// Writing works only between begin and finish; an all-failed run still
// installs its rows, and a meta file that vouches for none of them.
TEST_F(CSVWriterTest, RunWhereEveryFileFailsWritesRowsAndEmptyMeta) {
    writePreviousRun();
    CSVWriter writer(csvPath());
    const auto early = writer.write(okRow("a"), std::nullopt);
    ASSERT_FALSE(early);
    EXPECT_EQ(early.error().description(), "CSV書き込み先が初期化されていません");
    ASSERT_TRUE(writer.begin());
    EXPECT_EQ(readFile(file("volume_gains.csv.tmp")), kHeaderLine);
    for (const char* path : {"a.mp3", "b,c.mp3"}) ASSERT_TRUE(writer.write(failedRow(path), MetaEntry{1, 2}));
    ASSERT_TRUE(writer.finish());
    EXPECT_TRUE(writer.hasInstalledOutput());
    const std::string installed = kHeaderLine + "a.mp3,a.mp3,a.mp3,,,,,0,error:decode_failed,0,0\n"
                                                "\"b,c.mp3\",\"b,c.mp3\",\"b,c.mp3\",,,,,0,error:decode_failed,0,0\n";
    EXPECT_EQ(readFile(csvPath()), installed);
    EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), "{}");
    for (const char* gone : {"volume_gains.csv.tmp", "volume_gains.csv.meta.journal", "volume_gains.csv.meta.json.tmp"}) {
        EXPECT_FALSE(fs::exists(file(gone))) << gone;
    }
    const auto late = writer.write(okRow("b"), std::nullopt);
    ASSERT_FALSE(late);
    EXPECT_NE(late.error().jobError(), nullptr);
    EXPECT_TRUE(writer.finish());  // a second finish does nothing
    EXPECT_FALSE(writer.begin());  // nor can a finished writer start over
    EXPECT_EQ(readFile(csvPath()), installed);
}

TEST_F(CSVWriterTest, JournalTakesEvery64EntriesAndMetaWaitsForFinish) {
    writePreviousRun();
    CSVWriter writer(csvPath());
    ASSERT_TRUE(writer.begin());
    // Neither an error row with an entry nor an ok row without one counts.
    ASSERT_TRUE(writer.write(failedRow("bad.mp3"), MetaEntry{9, 9}));
    ASSERT_TRUE(writer.write(okRow("noentry.mp3"), std::nullopt));
    for (int i = 0; i < 63; ++i) ASSERT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{i, 100u + i}));
    EXPECT_FALSE(fs::exists(file("volume_gains.csv.meta.journal")));

    ASSERT_TRUE(writer.write(okRow("f63"), MetaEntry{63, 163}));
    const MetaMap journal = decodeJournal(readFile(file("volume_gains.csv.meta.journal")));
    EXPECT_EQ(journal.size(), 64u);
    EXPECT_EQ(journal.at("f0"), (MetaEntry{0, 100}));
    expectPreviousRunUntouched();

    // The same path twice: the later entry stands, both rows are kept.
    ASSERT_TRUE(writer.write(okRow("f0", 1.5), MetaEntry{7, 7}));
    ASSERT_TRUE(writer.finish());
    const MetaMap meta = *decodeMetaMap(readFile(file("volume_gains.csv.meta.json")));
    EXPECT_EQ(meta.size(), 64u);
    EXPECT_EQ(meta.at("f0"), (MetaEntry{7, 7}));
    const std::string csv = readFile(csvPath());
    EXPECT_TRUE(csv.starts_with(kHeaderLine + "bad.mp3,"));
    EXPECT_TRUE(csv.ends_with(okLine("f63") + "f0,f0,T,A,10.5,-14.5,-0.5,1.5,ok,0.4,1.2\n"));
    EXPECT_FALSE(fs::exists(file("volume_gains.csv.meta.journal")));
}

// Abandoning, destroying without finish, and finishing without begin install
// nothing; after an abandon the journal vouches for every row of the temporary CSV.
TEST_F(CSVWriterTest, AbandonKeepsRowsAndJournalForAResume) {
    writePreviousRun();
    writeFile(file("volume_gains.csv.tmp"), kHeaderLine + "stray,row\n");  // a crashed run's leftover
    {
        CSVWriter writer(csvPath());
        EXPECT_TRUE(writer.finish());
        EXPECT_FALSE(writer.hasInstalledOutput());
    }
    EXPECT_EQ(readFile(file("volume_gains.csv.tmp")), kHeaderLine + "stray,row\n");
    {
        CSVWriter writer(csvPath());
        ASSERT_TRUE(writer.begin());
        for (int i = 0; i < 70; ++i) ASSERT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{i, 3}));
        writer.abandon();
        EXPECT_FALSE(writer.write(okRow("late"), std::nullopt));
        EXPECT_TRUE(writer.finish());
        EXPECT_FALSE(writer.hasInstalledOutput());
    }
    expectPreviousRunUntouched();
    EXPECT_EQ(loadPreviousRows(file("volume_gains.csv.tmp")).size(), 70u);
    EXPECT_EQ(decodeJournal(readFile(file("volume_gains.csv.meta.journal"))).size(), 70u);
    {
        CSVWriter dropped(csvPath());
        ASSERT_TRUE(dropped.begin());  // a new run starts afresh: the old journal goes
        EXPECT_FALSE(fs::exists(file("volume_gains.csv.meta.journal")));
        ASSERT_TRUE(dropped.write(okRow("x"), MetaEntry{1, 1}));
    }
    expectPreviousRunUntouched();
}

TEST_F(CSVWriterTest, CancelAfterTenRowsInstallsThoseRows) {
    CSVWriter writer(csvPath());
    std::stop_source stop;
    ASSERT_TRUE(writer.begin());
    std::string expected = kHeaderLine;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(writer.write(okRow("r" + std::to_string(i)), MetaEntry{i, 1}, stop.get_token()));
        expected += okLine("r" + std::to_string(i));
    }
    stop.request_stop();
    const auto cancelled = writer.write(okRow("late"), MetaEntry{1, 1}, stop.get_token());
    ASSERT_FALSE(cancelled);
    EXPECT_TRUE(cancelled.error().isCancellation());
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(readFile(csvPath()), expected);
    EXPECT_EQ(decodeMetaMap(readFile(file("volume_gains.csv.meta.json")))->size(), 10u);
}

TEST_F(CSVWriterTest, SecondWriterOnTheFolderIsRefusedAndChangesNothing) {
    writePreviousRun();
    CSVWriter first(csvPath());
    ASSERT_TRUE(first.begin());
    ASSERT_TRUE(first.write(okRow("a"), MetaEntry{1, 1}));
    {
        CSVWriter second(csvPath());
        const auto refused = second.begin();
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().description(), "別の解析がこのフォルダに書き込み中です。");
        EXPECT_FALSE(second.write(okRow("b"), std::nullopt));
        EXPECT_TRUE(second.finish());
    }
    EXPECT_EQ(readFile(file("volume_gains.csv.tmp")), kHeaderLine + okLine("a"));
    expectPreviousRunUntouched();
    ASSERT_TRUE(first.write(okRow("c"), MetaEntry{1, 1}));
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(readFile(csvPath()), kHeaderLine + okLine("a") + okLine("c"));
    // `first` still holds its lock, now on the installed CSV's inode: a new run
    // must see that the temporary path is free again.
    CSVWriter third(csvPath());
    EXPECT_TRUE(third.begin());
}

TEST_F(CSVWriterTest, NeverWritesThroughPlantedSymbolicLinks) {
    writePreviousRun();
    const fs::path victim = m_dir / "victim.txt";
    writeFile(victim, "precious");
    for (const char* name : {"volume_gains.csv.tmp", "volume_gains.csv.meta.journal"}) fs::create_symlink(victim, file(name));
    CSVWriter writer(csvPath());
    ASSERT_TRUE(writer.begin());
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{i, 1}));
    // A link planted mid-run, where the meta file is staged, is removed as well.
    fs::create_symlink(victim, file("volume_gains.csv.meta.json.tmp"));
    EXPECT_FALSE(fs::is_symlink(file("volume_gains.csv.meta.journal")));
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(csvPath())));
    EXPECT_EQ(decodeMetaMap(readFile(file("volume_gains.csv.meta.json")))->size(), 64u);
}

TEST_F(CSVWriterTest, BeginFailureChangesNothing) {
    // A file where a parent folder should be: no one, root included, can create below it.
    writeFile(m_dir / "plain", "x");
    CSVWriter blocked(m_dir / "plain" / "sub" / "volume_gains.csv");
    const auto result = blocked.begin();
    ASSERT_FALSE(result);
    ASSERT_NE(result.error().systemError(), nullptr);
    EXPECT_EQ(*result.error().systemError(), std::errc::not_a_directory);
    EXPECT_TRUE(blocked.finish());

    // Root writes into a read-only folder anyway, so the attempt runs in a
    // child that has given root up for the user "nobody".
    const fs::path readOnly = m_dir / "read-only";
    writeFile(readOnly / "volume_gains.csv", kOldCsv);
    fs::permissions(m_dir.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                  fs::perms::others_exec);
    const int status = test::waitStatusOfChild([&] {
        if (geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 254;
        const auto began = CSVWriter(readOnly / "volume_gains.csv").begin();
        return began ? 0 : began.error().systemError() ? began.error().systemError()->value() : 255;
    });
    fs::permissions(readOnly, fs::perms::owner_all);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == EACCES) << status;
    EXPECT_EQ(readFile(readOnly / "volume_gains.csv"), kOldCsv);
    EXPECT_FALSE(fs::exists(readOnly / "volume_gains.csv.tmp"));
}

// A full disk must fail the write with the system's message and leave only
// complete lines in the temporary CSV.
TEST_F(CSVWriterTest, DiskFullCutsBackToTheLastCompleteLine) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const fs::path mountPoint = m_dir / "small";
    fs::create_directory(mountPoint);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{mountPoint};

    const fs::path csv = mountPoint / "volume_gains.csv";
    writeFile(csv, kOldCsv);
    CSVWriter writer(csv);
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
    ASSERT_NE(written.error().systemError(), nullptr);
    EXPECT_EQ(written.error().description(), std::system_category().message(ENOSPC));
    writer.abandon();
    const std::string tmp = readFile(mountPoint / "volume_gains.csv.tmp");
    ASSERT_FALSE(tmp.empty());
    EXPECT_EQ(tmp.back(), '\n');
    EXPECT_EQ(loadPreviousRows(mountPoint / "volume_gains.csv.tmp").size(), static_cast<size_t>(rows - 1));
    EXPECT_EQ(readFile(csv), kOldCsv);
}

enum class CrashPoint { beforeBegin, afterBegin, betweenRows, after64thEntry, insideFinish, afterFinish };

[[noreturn]] void die() {
    ::raise(SIGKILL);
    std::_Exit(99);
}

AnalyzeResult crashRow(const std::string& path, const char* status) {
    return {path, path, "T", "", 2, -20, -1, 2, status, 0, 0, true};
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
    std::string newCsv = kHeaderLine + "changed.flac,changed.flac,T,,2,-20,-1,2,error:decode_failed,0,0\n" +
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
        MetaMap meta;
        if (fs::exists(metaPath)) {
            const auto decoded = decodeMetaMap(readFile(metaPath));
            ASSERT_TRUE(decoded) << "meta file is not readable";
            meta = *decoded;
        }
        for (const auto& [path, entry] : meta) {
            ASSERT_TRUE(rows.contains(path)) << path;
            EXPECT_EQ(rows.at(path).status, "ok") << path;
        }
        if (!newCsvInstalled) { EXPECT_EQ(readFile(metaPath), kOldMeta); }
        if (point == CrashPoint::afterFinish) { EXPECT_EQ(meta.size(), 101u); }
        if (point == CrashPoint::after64thEntry) {
            EXPECT_EQ(decodeJournal(readFile(dir / "volume_gains.csv.meta.journal")).size(), 64u);
        }
        // The dead run's lock went with it: the next run can start.
        EXPECT_TRUE(CSVWriter(csv).begin());
    }
}

}  // namespace
}  // namespace quellmark
