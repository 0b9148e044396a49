// The CSV format: exact bytes written, and the two readers of a result file,
// the previous rows a run carries over and the rows the results view shows.
#include "output/analyze_result.h"

#include <sys/stat.h>

#include <cstring>

#include <gtest/gtest.h>

#include "output_test_support.h"

namespace quellmark {
namespace {

std::string lineOf(const AnalyzeResult& result) { return csvLine(csvFields(result)); }

// The byte tests hold decimal points; the second run of this binary under a
// comma-decimal locale only proves something if that locale is really active.
TEST(CsvFormat, SecondRunReallyUsesACommaDecimalLocale) {
    const char* lcAll = std::getenv("LC_ALL");
    if (lcAll == nullptr || std::strncmp(lcAll, "de_DE", 5) != 0) GTEST_SKIP() << "not the comma-locale run";
    EXPECT_STREQ(std::localeconv()->decimal_point, ",");
}

TEST(CsvFormat, WritesAndParsesExactBytes) {
    EXPECT_EQ(csvLine(std::vector<std::string>(csvHeader().begin(), csvHeader().end())) + "\n", kHeader);
    EXPECT_EQ(lineOf({"Album/01 Intro.flac", "01 Intro.flac", "Intro", "Some Artist", 245.3, -14.2, -0.5, -3.8, RowStatus::ok,
                      0.4, 1.2, true}),
              "Album/01 Intro.flac,01 Intro.flac,Intro,Some Artist,245.3,-14.2,-0.5,-3.8,ok,0.4,1.2");
    EXPECT_EQ(lineOf(failedRow("02.mp3")), "02.mp3,02.mp3,02.mp3,,,,,0,error:decode_failed,0,0");
    const std::pair<std::string, std::string> quoted[] = {
        {"Hello, World", "\"Hello, World\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""}, {"two\nlines", "\"two\nlines\""},
        {"carriage\rreturn", "\"carriage\rreturn\""}, {"日本語; tab\t'single'", "日本語; tab\t'single'"}};
    for (const auto& [field, written] : quoted) {
        const std::vector<std::string> fields{"a", field, "b"};
        EXPECT_EQ(csvLine(fields), "a," + written + ",b") << field;
        EXPECT_EQ(parseCSVLine(csvLine(fields)), fields) << field;
    }
    EXPECT_EQ(parseCSVLine("ab\"c,d\"e,"), (std::vector<std::string>{"abc,de", ""}));
    // One decimal as "%.1f" rounds the exact binary value; whole values, however large, without one.
    const std::pair<double, std::string> numbers[] = {{-0.0, "0"}, {0.25, "0.2"}, {0.35, "0.3"}, {-0.04, "-0.0"},
                                                      {9.96, "10.0"}, {9223372036854775808.0, "9223372036854775808"}, {kNaN, ""}};
    for (const auto& [value, text] : numbers) EXPECT_EQ(formatNumber(value), text) << value;
}

// What is missing, damaged or not a regular file reads as nothing: a FIFO
// planted under a result file's name must not block the run.
TEST(Loaders, MissingDamagedOrSpecialFilesReadAsEmpty) {
    TempDir dir;
    const std::string row = "a.flac,a.flac,A,,1,-20,-1,2,ok,0,0\n";
    writeFile(dir / "invalid.csv", kHeader + row + "b\xFF.flac,b,B,,1,-20,-1,2,ok,0,0\n");
    writeFile(dir / "cut.csv", kHeader + row + "\xE6\x97\n");
    writeFile(dir / "damaged.json", "{\"a\":{\"size\":1}}");
    for (const char* name : {"fifo.csv", "fifo.json"}) ASSERT_EQ(::mkfifo((dir / name).c_str(), 0644), 0);
    for (const char* name : {"missing", "invalid.csv", "cut.csv", "fifo.csv"}) EXPECT_TRUE(loadPreviousRows(dir / name).empty()) << name;
    for (const char* name : {"missing", "damaged.json", "fifo.json"}) EXPECT_TRUE(loadPreviousMeta(dir / name).empty()) << name;
}

// The first line is skipped whatever it holds; blank and short lines are
// skipped; the later of two rows wins; CRLF reads like LF. (Records are split
// as the results view splits them; its tests cut a file at every byte.)
TEST(Loaders, ReadTheLastRowOfEachPath) {
    const std::string lf = readFile(QUELLMARK_TEST_DATA_DIR "/volume_gains-mixed.csv");
    std::string crlf;
    for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const PreviousRows expected = {{"a.flac", {"a.flac", "a.flac", "x,y", "", 3, -21, -2, 3, RowStatus::ok, 0.5, 0.6, true}},
                                   {"b.flac", {"b.flac", "b.flac", "Nine", "", 1, -20, -1, 2, RowStatus::ok, 0, 0, false}}};
    EXPECT_EQ(parsePreviousRows(lf), expected);
    EXPECT_EQ(parsePreviousRows(crlf), expected);
}

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
