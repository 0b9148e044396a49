#include <sys/stat.h>

#include <gtest/gtest.h>

#include "output_test_support.h"

namespace quellmark {
namespace {

// The paths read and, after a bar, what the report says.
std::string readText(std::string_view text, ResultFileLimits limits = {}) {
    std::string paths;
    const ResultFileReport r = readResultRowsFromText(
        text, [&](AnalyzeResult&& row) { paths += row.relative_path + " "; }, limits);
    return paths + "| " + std::to_string(r.rows) + " rows, " + std::to_string(r.shortRecords) + " short, " +
           std::to_string(r.invalidUtf8Records) + " not utf-8" + (r.foreignHeader ? ", foreign" : "") +
           (r.cutShort ? ", cut" : "") + (r.limitReached ? ", limit" : "");
}

TEST(ResultRows, ReadsAsFarAsTheFileParses) {
    const std::string a = okLine("a.flac"), b = okLine("b.flac");
    const struct { const char* name; std::string text; ResultFileLimits limits; const char* read; } cases[] = {
        {"file order, duplicates kept", kHeader + b + a + b, {}, "b.flac a.flac b.flac | 3 rows, 0 short, 0 not utf-8"},
        {"short and blank records", kHeader + a + "x,y\n\n" + b, {}, "a.flac b.flac | 2 rows, 1 short, 0 not utf-8"},
        {"one record not UTF-8", kHeader + a + "c\xFF.mp3,c,T,A,1,-9,-1,2,ok,0,0\n" + b, {},
         "a.flac b.flac | 2 rows, 0 short, 1 not utf-8"},
        {"quoted line feed stays in its row", kHeader + "q.mp3,q.mp3,\"x\n" + a + "\",A,1,-9,-1,2,ok,0,0\n", {},
         "q.mp3 | 1 rows, 0 short, 0 not utf-8"},
        {"foreign file", "name,size\nx.mp3,3\n", {}, "| 0 rows, 1 short, 0 not utf-8, foreign"},
        {"old nine-column file", "relative_path,file_name,title,artist,duration_sec,measured_lufs,true_peak_dbfs,"
                                 "gain_db,status\n" + a, {}, "a.flac | 1 rows, 0 short, 0 not utf-8"},
        {"no final line feed", kHeader + a + b.substr(0, b.size() - 1), {}, "a.flac | 1 rows, 0 short, 0 not utf-8, cut"},
        {"row limit", kHeader + a + b, {.maxRows = 1}, "a.flac | 1 rows, 0 short, 0 not utf-8, limit"},
        {"byte limit inside a row", kHeader + a + b, {.maxBytes = kHeader.size() + a.size() + 3},
         "a.flac | 1 rows, 0 short, 0 not utf-8, limit"},
    };
    for (const auto& c : cases) EXPECT_EQ(readText(c.text, c.limits), c.read) << c.name;
}

// A file still being written, or cut by a crash, gives the rows before the cut
// and never a different row from a record cut inside its last number.
TEST(ResultRows, FileCutAtEveryByteGivesOnlyWholeRows) {
    const std::string text = kHeader + okLine("a.flac") + "b.mp3,b.mp3,\"t,\n\"\"x\"\"\",A,1,-9,-1,-22.5,ok,0,12\n";
    std::vector<AnalyzeResult> whole;
    readResultRowsFromText(text, [&](AnalyzeResult&& row) { whole.push_back(row); });
    ASSERT_EQ(whole.size(), 2u);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        std::vector<AnalyzeResult> rows;
        const ResultFileReport report =
            readResultRowsFromText(text.substr(0, cut), [&](AnalyzeResult&& row) { rows.push_back(row); });
        ASSERT_LE(rows.size(), whole.size());
        for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i], whole[i]) << "cut " << cut;
        const bool atRecordEnd = cut == 0 || cut == kHeader.size() || cut == kHeader.size() + okLine("a.flac").size() ||
                                 cut == text.size();
        EXPECT_EQ(report.cutShort, !atRecordEnd) << "cut " << cut;
    }
}

TEST(ResultRows, ReadsFilesInChunksAndNeverBlocksOnAFifo) {
    TempDir dir;
    EXPECT_TRUE(readResultRows(dir / "missing.csv", [](AnalyzeResult&&) {}).unreadable);
    ASSERT_EQ(::mkfifo((dir / "fifo.csv").c_str(), 0600), 0);
    EXPECT_TRUE(readResultRows(dir / "fifo.csv", [](AnalyzeResult&&) {}).unreadable);

    // A quoted title with a line feed on either side of the 1 MiB chunk boundary.
    std::string text = kHeader;
    for (int i = 0; text.size() < (std::size_t{3} << 19); ++i) {
        const bool straddles = text.size() + 60 > (std::size_t{1} << 20) && text.size() < (std::size_t{1} << 20);
        text += "p" + std::to_string(i) + ",f,\"two\n" + std::string(straddles ? 200 : 1, 'x') + "\",A,1,-9,-1,2,ok,0,0\n";
    }
    writeFile(dir / "big.csv", text);
    std::vector<std::string> fromFile, fromText;
    const ResultFileReport report =
        readResultRows(dir / "big.csv", [&](AnalyzeResult&& row) { fromFile.push_back(row.relative_path); });
    readResultRowsFromText(text, [&](AnalyzeResult&& row) { fromText.push_back(row.relative_path); });
    EXPECT_TRUE(report.isComplete());
    EXPECT_EQ(fromFile, fromText);
    EXPECT_EQ(readResultRows(dir / "big.csv", [](AnalyzeResult&&) {}, {.maxBytes = (1u << 20) + 5}).limitReached, true);
}

}  // namespace
}  // namespace quellmark
