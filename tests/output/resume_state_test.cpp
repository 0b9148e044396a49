#include "output/resume_state.h"

#include <sys/stat.h>

#include <functional>
#include <set>

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

std::string okLine(const std::string& path) { return path + "," + path + ",T,,10,-20,-1,2,ok,0,0\n"; }
std::string journalLine(const std::string& path, int stamp) {
    return "{\"path\":\"" + path + "\",\"mtimeNs\":" + std::to_string(stamp) + ",\"size\":7}\n";
}

std::set<std::string> keysOf(const ResumedState& state) {
    std::set<std::string> keys;
    for (const auto& [path, row] : state.rows) {
        keys.insert(path);
        EXPECT_TRUE(state.entries.contains(path)) << path;
    }
    EXPECT_EQ(state.entries.size(), state.rows.size());
    return keys;
}

TEST(ResumeState, KeepsOnlyCompleteOkRowsWhoseEntryWasSaved) {
    const std::string rows = kHeaderLine + okLine("a.flac") + okLine("b.flac") +
                             "bad.flac,bad.flac,,,,,,0,error:decode_failed,0,0\n"
                             "short.flac,short.flac,T,,10,-20,-1,2,ok\n";
    const std::string entries = journalLine("a.flac", 1) + journalLine("bad.flac", 3) + journalLine("short.flac", 4) +
                                journalLine("gone.flac", 5);
    const struct {
        const char* name;
        std::function<void(const TempDir&)> setUp;
        std::set<std::string> expected;
    } cases[] = {
        {"row without its entry is ignored",
         [&](const TempDir& d) {
             writeFile(d / "volume_gains.csv.tmp", rows);
             writeFile(d / "volume_gains.csv.meta.journal", entries);
         },
         {"a.flac"}},
        {"journal line cut by the crash",
         [&](const TempDir& d) {
             writeFile(d / "volume_gains.csv.tmp", rows);
             writeFile(d / "volume_gains.csv.meta.journal", entries + "{\"path\":\"b.flac\",\"mtimeNs\":2,\"si");
         },
         {"a.flac"}},
        {"CSV line cut inside a multibyte character",
         [&](const TempDir& d) {
             writeFile(d / "volume_gains.csv.tmp", rows + "b.flac,b.flac,\xE6\x97");
             writeFile(d / "volume_gains.csv.meta.journal", entries + journalLine("b.flac", 2));
         },
         {"a.flac", "b.flac"}},
        {"CSV cut inside a row whose entry was saved",
         [&](const TempDir& d) {
             writeFile(d / "volume_gains.csv.tmp", kHeaderLine + okLine("a.flac") + "b.flac,b.flac,T,,10,-20,-1,2,ok,0,");
             writeFile(d / "volume_gains.csv.meta.journal", journalLine("a.flac", 1) + journalLine("b.flac", 2));
         },
         {"a.flac"}},
        {"no journal", [&](const TempDir& d) { writeFile(d / "volume_gains.csv.tmp", rows); }, {}},
        {"no temporary CSV",
         [&](const TempDir& d) { writeFile(d / "volume_gains.csv.meta.journal", entries); }, {}},
        {"temporary CSV is a symbolic link",
         [&](const TempDir& d) {
             writeFile(d / "elsewhere.csv", rows);
             fs::create_symlink(d / "elsewhere.csv", d / "volume_gains.csv.tmp");
             writeFile(d / "volume_gains.csv.meta.journal", entries);
         },
         {}},
        {"journal is a symbolic link",
         [&](const TempDir& d) {
             writeFile(d / "volume_gains.csv.tmp", rows);
             writeFile(d / "elsewhere.journal", entries);
             fs::create_symlink(d / "elsewhere.journal", d / "volume_gains.csv.meta.journal");
         },
         {}},
        {"temporary CSV is a FIFO",
         [&](const TempDir& d) {
             ASSERT_EQ(::mkfifo((d / "volume_gains.csv.tmp").c_str(), 0644), 0);
             writeFile(d / "volume_gains.csv.meta.journal", entries);
         },
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.setUp(dir);
        const ResumedState state = loadResumableLeftovers(dir.path());
        EXPECT_EQ(keysOf(state), c.expected);
    }
}

TEST(ResumeState, ResumedRowsAndEntriesWinOverTheInstalledOnes) {
    TempDir dir;
    writeFile(dir / "volume_gains.csv.tmp", kHeaderLine + "a.flac,a.flac,New,,10,-14,-1,-4,ok,0.5,1\n");
    writeFile(dir / "volume_gains.csv.meta.journal", journalLine("a.flac", 9));
    PreviousRows rows = parsePreviousRows(kHeaderLine + okLine("a.flac") + okLine("b.flac"));
    MetaMap meta = {{"a.flac", {7, 1}}, {"b.flac", {7, 2}}};

    addResumedState(loadResumableLeftovers(dir.path()), rows, meta);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.at("a.flac").title, "New");
    EXPECT_EQ(rows.at("a.flac").gain_db, -4);
    EXPECT_EQ(rows.at("a.flac").leading_silence_sec, 0.5);
    EXPECT_EQ(rows.at("b.flac").title, "T");
    EXPECT_EQ(meta, (MetaMap{{"a.flac", {7, 9}}, {"b.flac", {7, 2}}}));
}

TEST(ResumeState, LiveWriterIsLeftAloneAndAbandonedOneIsResumed) {
    TempDir dir;
    const fs::path csv = dir / "volume_gains.csv";
    const std::string tmpBefore = [&] {
        CSVWriter writer(csv);
        EXPECT_TRUE(writer.begin());
        // 64 entries reach the journal during the run, the 65th only when abandoned.
        for (int i = 0; i < 65; ++i) {
            const std::string path = "f" + std::to_string(i) + ".flac";
            EXPECT_TRUE(writer.write({path, path, "T", "", 10, -20, -1, 2, "ok", 0, 0, true}, MetaEntry{7, 1u + i}));
        }
        EXPECT_EQ(decodeJournal(readFile(dir / "volume_gains.csv.meta.journal")).size(), 64u);
        EXPECT_TRUE(loadResumableLeftovers(dir.path()).rows.empty()) << "a live run's rows were taken";
        writer.abandon();
        return readFile(dir / "volume_gains.csv.tmp");
    }();
    const ResumedState state = loadResumableLeftovers(dir.path());
    EXPECT_EQ(state.rows.size(), 65u);
    EXPECT_EQ(state.entries.at("f64.flac"), (MetaEntry{7, 65}));
    // Reading changed nothing, and the lock was released: the next run can begin.
    EXPECT_EQ(readFile(dir / "volume_gains.csv.tmp"), tmpBefore);
    CSVWriter next(csv);
    EXPECT_TRUE(next.begin());
}

}  // namespace
}  // namespace quellmark
