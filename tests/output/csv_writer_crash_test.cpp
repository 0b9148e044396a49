// A run killed at any point must leave a complete CSV (the old one or the new
// one) and a meta file that only vouches for rows with status ok in that CSV.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

#include "output/csv_writer.h"
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
// The previous run measured both files; this run fails on "changed.flac", so an
// old meta entry left beside the new CSV would vouch for an error row.
const std::string kOldCsv = kHeaderLine +
                            "keep.flac,keep.flac,K,,1,-20,-1,2,ok,0,0\n"
                            "changed.flac,changed.flac,C,,1,-20,-1,2,ok,0,0\n";
const std::string kOldMeta =
    "{\"changed.flac\":{\"mtimeNs\":5,\"size\":5},\"keep.flac\":{\"mtimeNs\":1,\"size\":1}}";

enum class CrashPoint { beforeBegin, afterBegin, betweenRows, after64thEntry, insideFinish, afterFinish };

AnalyzeResult row(const std::string& path, const char* status) {
    return {path, path, "T", "", 2, -20, -1, 2, status, 0, 0, true};
}

[[noreturn]] void die() {
    ::raise(SIGKILL);
    std::_Exit(99);
}

// Runs in the child: never returns. Exit 3 means the run itself went wrong.
[[noreturn]] void runUntil(const fs::path& csv, CrashPoint point) {
    CSVWriter writer(csv);
    if (point == CrashPoint::beforeBegin) die();
    if (!writer.begin()) std::_Exit(3);
    if (point == CrashPoint::afterBegin) die();
    if (!writer.write(row("changed.flac", "error:decode_failed"), std::nullopt)) std::_Exit(3);
    if (!writer.write(row("keep.flac", "ok"), MetaEntry{1, 1})) std::_Exit(3);
    for (int i = 0; i < 100; ++i) {
        if (!writer.write(row("f" + std::to_string(i), "ok"), MetaEntry{i, 2})) std::_Exit(3);
        if (point == CrashPoint::betweenRows && i == 9) die();
        if (point == CrashPoint::after64thEntry && i == 62) die();
    }
    if (point == CrashPoint::insideFinish) writer.setAfterCsvInstalledHookForTesting(die);
    if (!writer.finish()) std::_Exit(3);
    if (point == CrashPoint::afterFinish) die();
    std::_Exit(0);
}

std::string newCsv() {
    std::string text = kHeaderLine + "changed.flac,changed.flac,T,,2,-20,-1,2,error:decode_failed,0,0\n" +
                       "keep.flac,keep.flac,T,,2,-20,-1,2,ok,0,0\n";
    for (int i = 0; i < 100; ++i) {
        const std::string path = "f" + std::to_string(i);
        text += path + "," + path + ",T,,2,-20,-1,2,ok,0,0\n";
    }
    return text;
}

TEST(CSVWriterCrash, EveryCrashPointLeavesAConsistentFolder) {
    const struct {
        CrashPoint point;
        bool newCsvInstalled;
    } cases[] = {
        {CrashPoint::beforeBegin, false},   {CrashPoint::afterBegin, false},  {CrashPoint::betweenRows, false},
        {CrashPoint::after64thEntry, false}, {CrashPoint::insideFinish, true}, {CrashPoint::afterFinish, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.point));
        TempDir dir;
        const fs::path csv = dir / "volume_gains.csv";
        writeFile(csv, kOldCsv);
        writeFile(dir / "volume_gains.csv.meta.json", kOldMeta);

        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) runUntil(csv, c.point);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;

        const std::string installed = readFile(csv);
        EXPECT_EQ(installed, c.newCsvInstalled ? newCsv() : kOldCsv);
        const PreviousRows rows = loadPreviousRows(csv);
        const fs::path metaPath = dir / "volume_gains.csv.meta.json";
        MetaMap meta;
        if (fs::exists(metaPath)) {
            const auto decoded = decodeMetaMap(readFile(metaPath));
            ASSERT_TRUE(decoded) << "meta file is not readable";
            meta = *decoded;
        }
        for (const auto& [path, entry] : meta) {
            const auto found = rows.find(path);
            ASSERT_NE(found, rows.end()) << path;
            EXPECT_EQ(found->second.status, "ok") << path;
        }
        if (!c.newCsvInstalled) {
            EXPECT_EQ(readFile(metaPath), kOldMeta);
        }
        if (c.point == CrashPoint::afterFinish) {
            EXPECT_EQ(meta.size(), 101u);
        }
        if (c.point == CrashPoint::after64thEntry) {
            EXPECT_EQ(decodeJournal(readFile(dir / "volume_gains.csv.meta.journal")).size(), 64u);
        }

        // The dead run's lock went with it: the next run can start.
        CSVWriter next(csv);
        EXPECT_TRUE(next.begin());
    }
}

}  // namespace
}  // namespace quellmark
