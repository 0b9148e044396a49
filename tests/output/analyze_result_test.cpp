#include "output/analyze_result.h"

#include <sys/stat.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale.h>
#include <random>

#include <gtest/gtest.h>

#include "output_test_support.h"

namespace quellmark {
namespace {

const double kInf = std::numeric_limits<double>::infinity();

std::string lineOf(const AnalyzeResult& result) { return csvLine(csvFields(result)); }

// The byte tests below hold decimal points; the second run of this binary under
// a comma-decimal locale only proves something if that locale is really active.
TEST(CsvLocale, SecondRunReallyUsesACommaDecimalLocale) {
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
    // Each written field parses back to itself.
    const std::pair<std::string, std::string> quoted[] = {
        {"", ""},
        {"Hello, World", "\"Hello, World\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},   {"carriage\rreturn", "\"carriage\rreturn\""},
        {"日本語; tab\t'single'", "日本語; tab\t'single'"},
    };
    for (const auto& [field, written] : quoted) {
        const std::vector<std::string> fields{"a", field, "b"};
        EXPECT_EQ(csvLine(fields), "a," + written + ",b") << field;
        EXPECT_EQ(parseCSVLine(csvLine(fields)), fields) << field;
    }
    const std::pair<std::string, std::vector<std::string>> parsed[] = {
        {"", {""}},
        {"a,b,", {"a", "b", ""}},
        {"a,\"\"\"\"", {"a", "\""}},
        {"ab\"c,d\"e,f", {"abc,de", "f"}},
        {"a,\"unterminated,b\"\"c", {"a", "unterminated,b\"c"}},
        {"\"a\"b\"c,d\"", {"abc,d"}},
    };
    for (const auto& [line, fields] : parsed) EXPECT_EQ(parseCSVLine(line), fields) << line;
}

// glibc's printf in the C locale is an independent reference for the rounding
// of "%.1f" and of the integral branch.
TEST(CsvFormat, FormatNumberAgreesWithCLocalePrintf) {
    const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    ASSERT_NE(cLocale, static_cast<locale_t>(0));
    const locale_t previous = uselocale(cLocale);
    for (const double missing : {kNaN, kInf, -kInf}) EXPECT_EQ(formatNumber(missing), "") << missing;
    // Exact binary halves tie to even; 0.35 is 0.34999…; -0.04 prints "-0.0" as
    // it is not integral; integral values up to 2^64 and beyond print whole.
    std::vector<double> values = {-0.0, -16, 0.25, 0.35, 0.45, -0.04, 9.96, 0.05, 1e-300, -1e-300,
                                  4503599627370495.5, 9223372036854775808.0, -9223372036854777856.0, 1e20,
                                  123456.75, 1e300, -1.7976931348623157e308, 5e-324, 0.1 + 0.2};
    std::mt19937_64 random(20260611);
    std::uniform_real_distribution<double> wide(-1000, 1000);
    std::uniform_int_distribution<int> tenths(-100000, 100000);
    for (int i = 0; i < 20000; ++i) values.insert(values.end(), {wide(random), tenths(random) / 100.0 + 0.005});
    for (const double v : values) {
        char reference[512];
        std::snprintf(reference, sizeof reference, std::nearbyint(v) == v ? "%.0f" : "%.1f", v == 0 ? 0.0 : v);
        ASSERT_EQ(formatNumber(v), reference) << v;
    }
    uselocale(previous);
    freelocale(cLocale);
}

// Files of older versions have nine or ten columns; a twelfth is ignored.
// Numbers that do not parse strictly read as missing (silences as zero).
TEST(CsvFormat, ResultFromFields) {
    const auto fields = [](std::string number, std::string silence, int count) {
        std::vector<std::string> all{"p", "p", "T", "A", number, "-20.5", "-1", "2.5", "ok", silence, "1.5", "x"};
        all.resize(static_cast<std::size_t>(count));
        return all;
    };
    const struct {
        std::vector<std::string> fields;
        AnalyzeResult expected;
    } cases[] = {
        {fields("10", "", 9), {"p", "p", "T", "A", 10, -20.5, -1, 2.5, RowStatus::ok, 0, 0, false}},
        {fields("10", "0.3", 10), {"p", "p", "T", "A", 10, -20.5, -1, 2.5, RowStatus::ok, 0.3, 0, false}},
        {fields("+1.5", "0.3", 11), {"p", "p", "T", "A", 1.5, -20.5, -1, 2.5, RowStatus::ok, 0.3, 1.5, true}},
        {fields("1e1", "7", 12), {"p", "p", "T", "A", 10, -20.5, -1, 2.5, RowStatus::ok, 7, 1.5, true}},
        {fields("-0", "", 11), {"p", "p", "T", "A", 0, -20.5, -1, 2.5, RowStatus::ok, 0, 1.5, true}},
    };
    for (const auto& c : cases) EXPECT_EQ(resultFromFields(c.fields), c.expected) << c.fields[4];
    for (const char* text : {"", " 1.5", "1.5 ", "1,5", "1.5x", "--1", "0x10", "1e"}) {
        const AnalyzeResult r = resultFromFields(fields(text, text, 11));
        EXPECT_TRUE(std::isnan(r.duration_sec) && r.leading_silence_sec == 0) << '"' << text << '"';
    }
}

// The loaders read what is missing, damaged or not a regular file as nothing:
// a FIFO planted under a result file's name must not block the run.
TEST(Loaders, MissingDamagedOrSpecialFilesReadAsEmpty) {
    TempDir dir;
    const std::string row = "a.flac,a.flac,A,,1,-20,-1,2,ok,0,0\n";
    const std::pair<std::string, std::string> files[] = {
        {"invalid.csv", kHeader + row + "b\xFF.flac,b,B,,1,-20,-1,2,ok,0,0\n"},
        {"cut.csv", kHeader + row + "\xE6\x97\n"},  // cut multibyte sequence
        {"header.csv", kHeader},
        {"blank.csv", "\n\n\n"},
        {"damaged.json", "{\"a\":{\"size\":1}}"},
    };
    for (const auto& [name, bytes] : files) writeFile(dir / name, bytes);
    for (const char* name : {"fifo.csv", "fifo.json"}) ASSERT_EQ(::mkfifo((dir / name).c_str(), 0644), 0);
    for (const char* name : {"missing", "invalid.csv", "cut.csv", "header.csv", "blank.csv", "fifo.csv", ""}) {
        EXPECT_TRUE(loadPreviousRows(dir / name).empty()) << name;
    }
    for (const char* name : {"missing", "damaged.json", "fifo.json", ""}) {
        EXPECT_TRUE(loadPreviousMeta(dir / name).empty()) << name;
    }
}

// The first line is skipped whatever it holds (here a row); blank and short lines are
// skipped; the later of two rows for one path wins; CRLF reads like LF.
TEST(Loaders, ReadsRowsLastWinsAndSkipsShortLines) {
    const std::string lf = readFile(QUELLMARK_TEST_DATA_DIR "/volume_gains-mixed.csv");
    std::string crlf;
    for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const PreviousRows expected = {
        {"a.flac", {"a.flac", "a.flac", "x,y", "", 3, -21, -2, 3, RowStatus::ok, 0.5, 0.6, true}},
        {"b.flac", {"b.flac", "b.flac", "Nine", "", 1, -20, -1, 2, RowStatus::ok, 0, 0, false}}};
    EXPECT_EQ(parsePreviousRows(lf), expected);
    EXPECT_EQ(parsePreviousRows(crlf), expected);
    // A title holding a line feed cannot forge a row.
    AnalyzeResult tricky = okRow("Album/02.flac");
    tricky.title = "x\nAlbum/01.flac,01.flac,Forged,,1,-20,-1,12,ok,0,0\n\"";
    EXPECT_EQ(parsePreviousRows(kHeader + lineOf(tricky) + "\n"), (PreviousRows{{"Album/02.flac", tricky}}));
}

// A copy of the file cut at any byte (a crash of whoever copied it, a full
// disk) may lose rows but never yields a row that was not written.
TEST(Loaders, FileCutAtEveryByteYieldsOnlyWrittenRows) {
    std::vector<AnalyzeResult> written;
    std::string text = kHeader;
    for (int i = 0; i < 4; ++i) {
        AnalyzeResult& r = written.emplace_back(okRow("d/" + std::to_string(i) + ".flac"));
        r.title = i == 1 ? "multi\nline, \"quoted\"" : "t" + std::to_string(i);
        r.trailing_silence_sec = 12.5 + i;
        text += lineOf(r) + "\n";
    }
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        for (const auto& [path, row] : parsePreviousRows(text.substr(0, cut))) {
            EXPECT_NE(std::find(written.begin(), written.end(), row), written.end()) << "cut at " << cut << ": " << path;
        }
    }
    EXPECT_EQ(parsePreviousRows(text).size(), written.size());
}

// Random rows with hostile texts survive writing and reading back: texts
// exactly, numbers to the one decimal written.
TEST(Loaders, RandomRowsRoundTrip) {
    const std::vector<std::string> pieces = {",", "\"", "\n", "\r", "\r\n", "\"\"", ",ok,", "日本", " ",
                                             "a", "\n\"", "\xF0\x9F\x8E\xB5", "\t", ""};
    std::mt19937 random(424242);
    const auto text = [&] {
        std::string s;
        for (int i = std::uniform_int_distribution<int>(0, 6)(random); i > 0; --i) s += pieces[random() % pieces.size()];
        return s;
    };
    std::uniform_real_distribution<double> any(-500, 500);
    const auto number = [&](bool allowNaN) {
        switch (random() % 4) {
            case 0: return allowNaN ? kNaN : 0.0;
            case 1: return std::uniform_int_distribution<int>(-999999, 999999)(random) / 10.0;
            case 2: return std::round(any(random));
            default: return any(random);
        }
    };
    std::vector<AnalyzeResult> rows;
    std::string file = kHeader;
    for (int i = 0; i < 2000; ++i) {
        rows.push_back({std::to_string(i) + text(), text(), text(), text(), number(true), number(true), number(true),
                        number(true), i % 3 ? RowStatus::ok : RowStatus::decodeFailed, number(false), number(false), true});
        file += lineOf(rows.back()) + "\n";
    }
    TempDir dir;
    writeFile(dir / "volume_gains.csv", file);
    const PreviousRows loaded = loadPreviousRows(dir / "volume_gains.csv");
    ASSERT_EQ(loaded.size(), rows.size());
    for (const AnalyzeResult& want : rows) {
        const AnalyzeResult& got = loaded.at(want.relative_path);
        EXPECT_EQ(std::tie(got.file_name, got.title, got.artist, got.status, got.hasSilenceMeasurement),
                  std::tie(want.file_name, want.title, want.artist, want.status, want.hasSilenceMeasurement));
        for (auto field : {&AnalyzeResult::duration_sec, &AnalyzeResult::measured_lufs, &AnalyzeResult::true_peak_dbfs,
                           &AnalyzeResult::gain_db, &AnalyzeResult::leading_silence_sec,
                           &AnalyzeResult::trailing_silence_sec}) {
            const double exact = want.*field;
            // Ten times a written one-decimal text is a whole number.
            EXPECT_TRUE(std::isnan(exact) ? std::isnan(got.*field)
                                          : std::fabs(got.*field - exact) <= 0.05 + 1e-9 &&
                                                std::round(got.*field * 10) == got.*field * 10)
                << want.relative_path << ": " << exact << " read as " << got.*field;
        }
    }
}

}  // namespace
}  // namespace quellmark
