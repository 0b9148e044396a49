#include "output/resume_state.h"

#include <sys/stat.h>

#include <set>

#include <gtest/gtest.h>

#include "output/csv_writer.h"
#include "output_test_support.h"

namespace quellmark {
namespace {

std::string row(const std::string& path) { return path + "," + path + ",T,,10,-20,-1,2,ok,0,0\n"; }
std::string journalLine(const std::string& path, int stamp) { return encodeJournalLine(path, {7, 0u + stamp}); }

TEST(ResumeState, KeepsOnlyCompleteOkRowsWhoseEntryWasSaved) {
    const std::string rows = kHeader + row("a.flac") + row("b.flac") +
                             "bad.flac,bad.flac,,,,,,0,error:decode_failed,0,0\n"
                             "short.flac,short.flac,T,,10,-20,-1,2,ok\n";
    const std::string entries = journalLine("a.flac", 1) + journalLine("bad.flac", 3) + journalLine("short.flac", 4) +
                                journalLine("gone.flac", 5);
    enum Planted { none, linkedCsv, linkedJournal, fifoCsv };
    const struct {
        const char* what;
        std::optional<std::string> csv, journal;
        Planted planted;
        std::set<std::string> expected;
    } cases[] = {
        {"row without its entry is ignored", rows, entries, none, {"a.flac"}},
        {"journal line cut by the crash", rows, entries + "{\"path\":\"b.flac\",\"mtimeNs\":2,\"si", none, {"a.flac"}},
        {"CSV line cut inside a multibyte character", rows + "b.flac,b.flac,\xE6\x97", entries + journalLine("b.flac", 2),
         none, {"a.flac", "b.flac"}},
        {"CSV cut inside a row whose entry was saved", kHeader + row("a.flac") + "b.flac,b.flac,T,,10,-20,-1,2,ok,0,",
         journalLine("a.flac", 1) + journalLine("b.flac", 2), none, {"a.flac"}},
        {"no journal", rows, std::nullopt, none, {}},
        {"no temporary CSV", std::nullopt, entries, none, {}},
        {"temporary CSV is a symbolic link", rows, entries, linkedCsv, {}},
        {"journal is a symbolic link", rows, entries, linkedJournal, {}},
        {"temporary CSV is a FIFO", std::nullopt, entries, fifoCsv, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path csv = dir / (c.planted == linkedCsv ? "elsewhere.csv" : "volume_gains.csv.tmp");
        const fs::path journal = dir / (c.planted == linkedJournal ? "elsewhere.journal" : "volume_gains.csv.meta.journal");
        if (c.csv) writeFile(csv, *c.csv);
        if (c.journal) writeFile(journal, *c.journal);
        if (c.planted == linkedCsv) fs::create_symlink(csv, dir / "volume_gains.csv.tmp");
        if (c.planted == linkedJournal) fs::create_symlink(journal, dir / "volume_gains.csv.meta.journal");
        if (c.planted == fifoCsv) { ASSERT_EQ(::mkfifo(csv.c_str(), 0644), 0); }
        const ResumedState state = loadResumableLeftovers(dir.path());
        std::set<std::string> keys;
        for (const auto& [path, kept] : state.rows) keys.insert(path);
        EXPECT_EQ(keys, c.expected);
        for (const auto& [path, entry] : state.entries) EXPECT_TRUE(keys.contains(path)) << path;
        EXPECT_EQ(state.entries.size(), keys.size());
    }
}

TEST(ResumeState, LiveWriterIsLeftAloneAndAbandonedOneIsResumed) {
    TempDir dir;
    const std::string tmpBefore = [&] {
        CSVWriter writer(dir / "volume_gains.csv");
        EXPECT_TRUE(writer.begin());
        // 64 entries reach the journal during the run, the 65th only when abandoned.
        for (int i = 0; i < 65; ++i) EXPECT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{7, 1u + i}));
        EXPECT_EQ(decodeJournal(readFile(dir / "volume_gains.csv.meta.journal")).size(), 64u);
        EXPECT_TRUE(loadResumableLeftovers(dir.path()).rows.empty()) << "a live run's rows were taken";
        writer.abandon();
        return readFile(dir / "volume_gains.csv.tmp");
    }();
    const ResumedState state = loadResumableLeftovers(dir.path());
    EXPECT_EQ(state.rows.size(), 65u);
    EXPECT_EQ(state.entries.at("f64"), (MetaEntry{7, 65}));
    // Reading changed nothing, and the lock was released: the next run can begin.
    EXPECT_EQ(readFile(dir / "volume_gains.csv.tmp"), tmpBefore);
    EXPECT_TRUE(CSVWriter(dir / "volume_gains.csv").begin());
}

}  // namespace
}  // namespace quellmark
