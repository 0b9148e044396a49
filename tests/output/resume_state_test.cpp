#include "output/resume_state.h"

#include <set>

#include <gtest/gtest.h>

#include "output/csv_writer.h"
#include "output_test_support.h"

namespace quellmark {
namespace {

std::string row(const std::string& path) { return path + "," + path + ",T,,10,-20,-1,2,ok,0,0\n"; }
std::string journalLine(const std::string& path, int stamp) { return encodeJournalLine(path, {7, 0u + stamp}); }

TEST(ResumeState, KeepsOnlyCompleteOkRowsWhoseEntryWasSaved) {
    const std::string rows = kHeader + row("a.flac") + row("b.flac") + "bad.flac,bad.flac,,,,,,0,error:decode_failed,0,0\n";
    const std::string entries = journalLine("a.flac", 1) + journalLine("bad.flac", 3) + journalLine("gone.flac", 5);
    const struct {
        const char* what;
        std::optional<std::string> journal;
        std::string csv;
        bool linked;
        std::set<std::string> expected;
    } cases[] = {
        {"row without its entry is ignored", entries, rows, false, {"a.flac"}},
        // The crash cut the last row inside a multibyte character, after its entry was saved.
        {"CSV cut short", entries + journalLine("b.flac", 2) + journalLine("c.flac", 6), rows + "c.flac,c.flac,\xE6\x97",
         false, {"a.flac", "b.flac"}},
        {"no journal", std::nullopt, rows, false, {}},
        {"temporary CSV is a symbolic link", entries, rows, true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path csv = dir / (c.linked ? "elsewhere.csv" : "volume_gains.csv.tmp");
        writeFile(csv, c.csv);
        if (c.journal) writeFile(dir / "volume_gains.csv.meta.journal", *c.journal);
        if (c.linked) fs::create_symlink(csv, dir / "volume_gains.csv.tmp");
        const ResumedState state = loadResumableLeftovers(dir.path());
        std::set<std::string> keys, entryKeys;
        for (const auto& [path, kept] : state.rows) keys.insert(path);
        for (const auto& [path, entry] : state.entries) entryKeys.insert(path);
        EXPECT_EQ(keys, c.expected);
        EXPECT_EQ(entryKeys, c.expected);
    }
}

// An abandoned run installs nothing; its rows and journal stay for the next run.
TEST(ResumeState, LiveWriterIsLeftAloneAndAbandonedOneIsResumed) {
    TempDir dir;
    writeFile(dir / "volume_gains.csv", kHeader);
    CSVWriter writer(dir / "volume_gains.csv");
    ASSERT_TRUE(writer.begin());
    // 64 entries reach the journal during the run, the 65th only when abandoned.
    for (int i = 0; i < 65; ++i) ASSERT_TRUE(writer.write(okRow("f" + std::to_string(i)), MetaEntry{7, 1u + i}));
    EXPECT_TRUE(loadResumableLeftovers(dir.path()).rows.empty()) << "a live run's rows were taken";
    writer.abandon();
    const std::string tmpBefore = readFile(dir / "volume_gains.csv.tmp");
    const ResumedState state = loadResumableLeftovers(dir.path());
    EXPECT_EQ(state.rows.size(), 65u);
    EXPECT_EQ(state.entries.at("f64"), (MetaEntry{7, 65}));
    // Reading changed nothing, and the lock was released: the next run can begin.
    EXPECT_EQ(readFile(dir / "volume_gains.csv.tmp"), tmpBefore);
    EXPECT_EQ(readFile(dir / "volume_gains.csv"), kHeader);
    EXPECT_TRUE(CSVWriter(dir / "volume_gains.csv").begin());
}

}  // namespace
}  // namespace quellmark
