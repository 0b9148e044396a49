#include "output/csv_writer.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

const std::string kHeaderLine =
    "relative_path,file_name,title,artist,duration_sec,measured_lufs,true_peak_dbfs,gain_db,status,"
    "leading_silence_sec,trailing_silence_sec\n";
const std::string kOldCsv = kHeaderLine + "old.flac,old.flac,Old,,1,-20,-1,2,ok,0,0\n";
const std::string kOldMeta = "{\"old.flac\":{\"mtimeNs\":1,\"size\":1}}";

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
    TempDir m_dir;
};

TEST_F(CSVWriterTest, RunWhereEveryFileFailsWritesRowsAndEmptyMeta) {
    writePreviousRun();
    CSVWriter writer(csvPath());
    ASSERT_TRUE(writer.begin());
    EXPECT_EQ(readFile(file("volume_gains.csv.tmp")), kHeaderLine);
    for (const char* path : {"a.mp3", "b,c.mp3"}) ASSERT_TRUE(writer.write(failedRow(path), MetaEntry{1, 2}));
    ASSERT_TRUE(writer.finish());
    EXPECT_TRUE(writer.hasInstalledOutput());
    EXPECT_EQ(readFile(csvPath()), kHeaderLine +
                                       "a.mp3,a.mp3,a.mp3,,,,,0,error:decode_failed,0,0\n"
                                       "\"b,c.mp3\",\"b,c.mp3\",\"b,c.mp3\",,,,,0,error:decode_failed,0,0\n");
    EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), "{}");
    for (const char* gone : {"volume_gains.csv.tmp", "volume_gains.csv.meta.journal", "volume_gains.csv.meta.json.tmp"}) {
        EXPECT_FALSE(fs::exists(file(gone))) << gone;
    }
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
    EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), kOldMeta);

    ASSERT_TRUE(writer.write(okRow("f63"), MetaEntry{63, 163}));
    const MetaMap journal = decodeJournal(readFile(file("volume_gains.csv.meta.journal")));
    EXPECT_EQ(journal.size(), 64u);
    EXPECT_EQ(journal.at("f0"), (MetaEntry{0, 100}));
    EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), kOldMeta);
    EXPECT_EQ(readFile(csvPath()), kOldCsv);

    // The same path twice: the later entry stands, both rows are kept.
    ASSERT_TRUE(writer.write(okRow("f0", 1.5), MetaEntry{7, 7}));
    ASSERT_TRUE(writer.finish());
    const MetaMap meta = *decodeMetaMap(readFile(file("volume_gains.csv.meta.json")));
    EXPECT_EQ(meta.size(), 64u);
    EXPECT_EQ(meta.at("f0"), (MetaEntry{7, 7}));
    EXPECT_FALSE(meta.contains("bad.mp3"));
    EXPECT_FALSE(meta.contains("noentry.mp3"));
    const std::string csv = readFile(csvPath());
    EXPECT_TRUE(csv.starts_with(kHeaderLine + "bad.mp3,"));
    EXPECT_TRUE(csv.ends_with(okLine("f63") + "f0,f0,T,A,10.5,-14.5,-0.5,1.5,ok,0.4,1.2\n"));
    EXPECT_EQ(loadPreviousRows(csvPath()).at("f0").gain_db, 1.5);
    EXPECT_FALSE(fs::exists(file("volume_gains.csv.meta.journal")));
}

TEST_F(CSVWriterTest, WritesOnlyBetweenBeginAndFinish) {
    writePreviousRun();
    CSVWriter writer(csvPath());
    const auto early = writer.write(okRow("a"), std::nullopt);
    ASSERT_FALSE(early);
    EXPECT_EQ(early.error().description(), "CSV書き込み先が初期化されていません");
    ASSERT_TRUE(writer.begin());
    ASSERT_TRUE(writer.write(okRow("a"), MetaEntry{1, 1}));
    ASSERT_TRUE(writer.finish());
    const std::string installed = readFile(csvPath());
    const auto late = writer.write(okRow("b"), std::nullopt);
    ASSERT_FALSE(late);
    EXPECT_NE(late.error().jobError(), nullptr);
    EXPECT_EQ(late.error().description(), "CSV書き込み先が初期化されていません");
    EXPECT_TRUE(writer.finish());  // a second finish does nothing
    EXPECT_FALSE(writer.begin());  // nor can a finished writer start over
    EXPECT_EQ(readFile(csvPath()), installed);
    EXPECT_FALSE(fs::exists(file("volume_gains.csv.tmp")));
    EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), "{\"a\":{\"mtimeNs\":1,\"size\":1}}");
}

TEST_F(CSVWriterTest, FinishWithoutBeginLeavesPreviousFiles) {
    writePreviousRun();
    writeFile(file("volume_gains.csv.tmp"), kHeaderLine + "stray,row\n");  // a crashed run's leftover
    {
        CSVWriter writer(csvPath());
        EXPECT_TRUE(writer.finish());
        EXPECT_FALSE(writer.hasInstalledOutput());
    }
    EXPECT_EQ(readFile(csvPath()), kOldCsv);
    EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), kOldMeta);
    EXPECT_EQ(readFile(file("volume_gains.csv.tmp")), kHeaderLine + "stray,row\n");
}

// Abandoning (and likewise destroying without finish) installs nothing; the
// journal then vouches for every recorded row of the temporary CSV.
TEST_F(CSVWriterTest, AbandonKeepsRowsAndJournalForAResume) {
    writePreviousRun();
    {
        CSVWriter writer(csvPath());
        ASSERT_TRUE(writer.begin());
        for (int i = 0; i < 70; ++i) ASSERT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{i, 3}));
        writer.abandon();
        EXPECT_FALSE(writer.write(okRow("late"), std::nullopt));
        EXPECT_TRUE(writer.finish());
        EXPECT_FALSE(writer.hasInstalledOutput());
    }
    EXPECT_EQ(readFile(csvPath()), kOldCsv);
    EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), kOldMeta);
    EXPECT_EQ(loadPreviousRows(file("volume_gains.csv.tmp")).size(), 70u);
    EXPECT_EQ(decodeJournal(readFile(file("volume_gains.csv.meta.journal"))).size(), 70u);

    {
        CSVWriter dropped(csvPath());
        ASSERT_TRUE(dropped.begin());  // a new run starts afresh: the old journal goes
        EXPECT_FALSE(fs::exists(file("volume_gains.csv.meta.journal")));
        ASSERT_TRUE(dropped.write(okRow("x"), MetaEntry{1, 1}));
    }
    EXPECT_EQ(readFile(csvPath()), kOldCsv);
    EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), kOldMeta);
}

TEST_F(CSVWriterTest, CancelAfterTenRowsInstallsThoseRows) {
    CSVWriter writer(csvPath());
    std::stop_source stop;
    ASSERT_TRUE(writer.begin());
    std::string expected = kHeaderLine;
    for (int i = 0; i < 10; ++i) {
        const std::string path = "r" + std::to_string(i);
        ASSERT_TRUE(writer.write(okRow(path), MetaEntry{i, 1}, stop.get_token()));
        expected += okLine(path);
    }
    stop.request_stop();
    const auto cancelled = writer.write(okRow("late"), MetaEntry{1, 1}, stop.get_token());
    ASSERT_FALSE(cancelled);
    EXPECT_TRUE(cancelled.error().isCancellation());
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(readFile(csvPath()), expected);
    EXPECT_EQ(decodeMetaMap(readFile(file("volume_gains.csv.meta.json")))->size(), 10u);
    EXPECT_FALSE(fs::exists(file("volume_gains.csv.tmp")));
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
        EXPECT_FALSE(second.hasInstalledOutput());
    }
    EXPECT_EQ(readFile(file("volume_gains.csv.tmp")), kHeaderLine + okLine("a"));
    EXPECT_EQ(readFile(csvPath()), kOldCsv);
    EXPECT_EQ(readFile(file("volume_gains.csv.meta.json")), kOldMeta);

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
    EXPECT_FALSE(fs::is_symlink(file("volume_gains.csv.tmp")));
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{i, 1}));
    // A link planted mid-run, where the meta file is staged, is removed as well.
    fs::create_symlink(victim, file("volume_gains.csv.meta.json.tmp"));
    EXPECT_FALSE(fs::is_symlink(file("volume_gains.csv.meta.journal")));
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(csvPath())));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file("volume_gains.csv.meta.json"))));
    EXPECT_EQ(decodeMetaMap(readFile(file("volume_gains.csv.meta.json")))->size(), 64u);
}

// The errno of a begin that fails, 0 when it succeeds. Root writes into a
// read-only folder anyway, so as root the attempt runs in a child that has
// given root up for the user "nobody".
int beginErrnoWithoutRoot(const fs::path& csv) {
    const auto attempt = [&] {
        CSVWriter writer(csv);
        const auto result = writer.begin();
        if (result) return 0;
        return result.error().systemError() ? result.error().systemError()->value() : 255;
    };
    if (geteuid() != 0) return attempt();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(254);
        std::_Exit(attempt());
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 253;
    return WEXITSTATUS(status);
}

TEST_F(CSVWriterTest, BeginFailureChangesNothing) {
    writePreviousRun();
    // A file where a parent folder should be: no one, root included, can create below it.
    writeFile(m_dir / "plain", "x");
    CSVWriter blocked(m_dir / "plain" / "sub" / "volume_gains.csv");
    const auto result = blocked.begin();
    ASSERT_FALSE(result);
    ASSERT_NE(result.error().systemError(), nullptr);
    EXPECT_EQ(*result.error().systemError(), std::errc::not_a_directory);
    EXPECT_TRUE(blocked.finish());

    const fs::path readOnly = m_dir / "read-only";
    writeFile(readOnly / "volume_gains.csv", kOldCsv);
    writeFile(readOnly / "volume_gains.csv.meta.json", kOldMeta);
    fs::permissions(m_dir.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                  fs::perms::others_exec);
    const int err = beginErrnoWithoutRoot(readOnly / "volume_gains.csv");
    fs::permissions(readOnly, fs::perms::owner_all);
    EXPECT_EQ(err, EACCES);
    EXPECT_EQ(readFile(readOnly / "volume_gains.csv"), kOldCsv);
    EXPECT_EQ(readFile(readOnly / "volume_gains.csv.meta.json"), kOldMeta);
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

}  // namespace
}  // namespace quellmark
