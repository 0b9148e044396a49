#include "output/analyze_result.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>
#include <random>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace quellmark {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const std::string kHeader = readFile(QUELLMARK_TEST_DATA_DIR "/csv-header.txt");

AnalyzeResult measured() {
    return {"Album/01 Intro.flac", "01 Intro.flac", "Intro", "Some Artist", 245.3, -14.2, -0.5, -3.8, "ok",
            0.4, 1.2, true};
}

std::string lineOf(const AnalyzeResult& result) { return csvLine(csvFields(result)); }

// The byte tests below hold decimal points; the second run of this binary under
// a comma-decimal locale only proves something if that locale is really active.
TEST(CsvLocale, SecondRunReallyUsesACommaDecimalLocale) {
    const char* lcAll = std::getenv("LC_ALL");
    if (lcAll == nullptr || std::strncmp(lcAll, "de_DE", 5) != 0) GTEST_SKIP() << "not the comma-locale run";
    EXPECT_STREQ(std::localeconv()->decimal_point, ",");
}

TEST(CsvFormat, HeaderAndRowsHaveExactBytes) {
    EXPECT_EQ(csvLine(std::vector<std::string>(csvHeader().begin(), csvHeader().end())) + "\n", kHeader);
    EXPECT_EQ(lineOf(measured()),
              "Album/01 Intro.flac,01 Intro.flac,Intro,Some Artist,245.3,-14.2,-0.5,-3.8,ok,0.4,1.2");
    const AnalyzeResult failed{"Album/02.mp3", "02.mp3", "02", "", kNaN, kNaN, kNaN, 0, "error:decode_failed", 0, 0, true};
    EXPECT_EQ(lineOf(failed), "Album/02.mp3,02.mp3,02,,,,,0,error:decode_failed,0,0");
}

// Each written field parses back to itself; the table also fixes the written bytes.
TEST(CsvFormat, QuotesExactlyTheFieldsThatNeedIt) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain title", "plain title"},     {"", ""},
        {"Hello, World", "\"Hello, World\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},   {"carriage\rreturn", "\"carriage\rreturn\""},
        {"日本語; tab\t'single'", "日本語; tab\t'single'"},
    };
    for (const auto& [field, written] : cases) {
        const std::vector<std::string> fields{"a", field, "b"};
        EXPECT_EQ(csvLine(fields), "a," + written + ",b") << field;
        EXPECT_EQ(parseCSVLine(csvLine(fields)), fields) << field;
    }
    EXPECT_EQ(csvLine(std::vector<std::string>{"", "", ""}), ",,");
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
    std::vector<double> values = {-0.0, -16, 0.25, 0.35, 0.45, -0.04, 9.96, 0.05, 0.15, 0.55, 0.95, 1e-300, -1e-300,
                                  4503599627370495.5, 9223372036854775808.0, -9223372036854777856.0, 1e20,
                                  123456.75, 1e300, -1.7976931348623157e308, 5e-324, 0.1 + 0.2};
    std::mt19937_64 random(20260611);
    std::uniform_real_distribution<double> wide(-1000, 1000);
    std::uniform_int_distribution<int> tenths(-100000, 100000);
    for (int i = 0; i < 20000; ++i) {
        values.insert(values.end(), {wide(random), tenths(random) / 10.0, tenths(random) / 100.0 + 0.005});
    }
    for (const double v : values) {
        char reference[512];
        const bool integral = std::nearbyint(v) == v;
        std::snprintf(reference, sizeof reference, integral ? "%.0f" : "%.1f", v == 0 ? 0.0 : v);
        ASSERT_EQ(formatNumber(v), reference) << v;
    }
    uselocale(previous);
    freelocale(cLocale);
}

TEST(CsvFormat, ParseLineTable) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {""}},
        {"a,b,", {"a", "b", ""}},
        {"a,\"\"\"\"", {"a", "\""}},
        {"ab\"c,d\"e,f", {"abc,de", "f"}},
        {"a,\"unterminated,b\"\"c", {"a", "unterminated,b\"c"}},
        {"\"a\"b\"c,d\"", {"abc,d"}},
    };
    for (const auto& [line, fields] : cases) EXPECT_EQ(parseCSVLine(line), fields) << line;
}

// Files of older versions have nine or ten columns; a twelfth is ignored.
TEST(CsvFormat, ResultFromFieldsByFieldCount) {
    std::vector<std::string> fields{"p.flac", "p.flac", "T", "A", "10", "-20.5", "-1", "2.5", "ok"};
    AnalyzeResult expected{"p.flac", "p.flac", "T", "A", 10, -20.5, -1, 2.5, "ok", 0, 0, false};
    EXPECT_EQ(resultFromFields(fields), expected);
    fields.push_back("0.3");
    expected.leading_silence_sec = 0.3;
    EXPECT_EQ(resultFromFields(fields), expected);
    fields.push_back("1.5");
    expected.trailing_silence_sec = 1.5;
    expected.hasSilenceMeasurement = true;
    EXPECT_EQ(resultFromFields(fields), expected);
    fields.push_back("extra");
    EXPECT_EQ(resultFromFields(fields), expected);
}

TEST(CsvFormat, UnparseableNumbersBecomeNaNOrZero) {
    for (const char* text : {"", " 1.5", "1.5 ", "1,5", "1.5x", "--1", "0x10", "1e"}) {
        const AnalyzeResult r = resultFromFields(std::vector<std::string>{"p", "p", "t", "a", text, text, text, text, "ok", text, text});
        EXPECT_TRUE(std::isnan(r.duration_sec) && std::isnan(r.measured_lufs) && std::isnan(r.true_peak_dbfs) &&
                    std::isnan(r.gain_db))
            << '"' << text << '"';
        EXPECT_TRUE(r.leading_silence_sec == 0 && r.trailing_silence_sec == 0 && r.hasSilenceMeasurement) << text;
    }
    const AnalyzeResult r = resultFromFields(std::vector<std::string>{"p", "p", "t", "a", "+1.5", "-0", "1e1", "-23.4", "ok", "0.05", "7"});
    EXPECT_EQ(r, (AnalyzeResult{"p", "p", "t", "a", 1.5, 0, 10, -23.4, "ok", 0.05, 7, true}));
}

class LoadPreviousRows : public ::testing::Test {
protected:
    PreviousRows load(std::string_view bytes) {
        writeFile(m_dir / "volume_gains.csv", bytes);
        return loadPreviousRows(m_dir / "volume_gains.csv");
    }
    TempDir m_dir;
};

TEST_F(LoadPreviousRows, EmptyForMissingInvalidOrHeaderOnlyFiles) {
    EXPECT_TRUE(loadPreviousRows(m_dir / "missing.csv").empty());
    EXPECT_TRUE(loadPreviousRows(m_dir.path()).empty());  // a folder cannot be read as a file
    const std::string row = "a.flac,a.flac,A,,1,-20,-1,2,ok,0,0\n";
    for (const std::string& text : {kHeader + row + "b\xFF.flac,b,B,,1,-20,-1,2,ok,0,0\n",
                                   kHeader + row + "\xE6\x97\n",  // cut multibyte sequence
                                   kHeader, std::string("\n\n\n")}) {
        EXPECT_TRUE(load(text).empty()) << text;
    }
}

// The first line is skipped whatever it holds (here a row); blank and short lines are
// skipped; the later of two rows for one path wins; CRLF reads like LF.
TEST_F(LoadPreviousRows, ReadsRowsLastWinsAndSkipsShortLines) {
    const std::string lf = readFile(QUELLMARK_TEST_DATA_DIR "/volume_gains-mixed.csv");
    std::string crlf;
    for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const PreviousRows rows = load(lf);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.at("a.flac"), (AnalyzeResult{"a.flac", "a.flac", "x,y", "", 3, -21, -2, 3, "ok", 0.5, 0.6, true}));
    EXPECT_EQ(rows.at("b.flac"), (AnalyzeResult{"b.flac", "b.flac", "Nine", "", 1, -20, -1, 2, "ok", 0, 0, false}));
    EXPECT_EQ(load(crlf), rows);
}

TEST_F(LoadPreviousRows, TitleHoldingALineFeedCannotForgeARow) {
    AnalyzeResult tricky = measured();
    tricky.relative_path = "Album/02.flac";
    tricky.title = "x\nAlbum/01.flac,01.flac,Forged,,1,-20,-1,12,ok,0,0\n\"";
    const PreviousRows rows = load(kHeader + lineOf(tricky) + "\n");
    EXPECT_EQ(rows, (PreviousRows{{"Album/02.flac", tricky}}));
}

// A copy of the file cut at any byte (a crash of whoever copied it, a full
// disk) may lose rows but never yields a row that was not written.
TEST_F(LoadPreviousRows, FileCutAtEveryByteYieldsOnlyWrittenRows) {
    std::vector<AnalyzeResult> written;
    std::string text = kHeader;
    for (int i = 0; i < 4; ++i) {
        AnalyzeResult r = measured();
        r.relative_path = "d/" + std::to_string(i) + ".flac";
        r.title = i == 1 ? "multi\nline, \"quoted\"" : "t" + std::to_string(i);
        r.trailing_silence_sec = 12.5 + i;
        written.push_back(r);
        text += lineOf(r) + "\n";
    }
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        for (const auto& [path, row] : load(text.substr(0, cut))) {
            EXPECT_NE(std::find(written.begin(), written.end(), row), written.end()) << "cut at " << cut << ": " << path;
        }
    }
    EXPECT_EQ(load(text).size(), written.size());
}

// Random rows with hostile texts survive writing and reading back: texts
// exactly, numbers to the one decimal written.
TEST_F(LoadPreviousRows, RandomRowsRoundTrip) {
    const std::vector<std::string> pieces = {",", "\"", "\n", "\r", "\r\n", "\"\"", ",ok,", "日本", " ",
                                             "a", "\n\"", "\xF0\x9F\x8E\xB5", "\t", ""};
    std::mt19937 random(424242);
    const auto text = [&] {
        std::string s;
        for (int i = std::uniform_int_distribution<int>(0, 6)(random); i > 0; --i) s += pieces[random() % pieces.size()];
        return s;
    };
    std::uniform_int_distribution<int> tenths(-999999, 999999);
    std::uniform_real_distribution<double> any(-500, 500);
    const auto number = [&](bool allowNaN) {
        switch (random() % 4) {
            case 0: return allowNaN ? kNaN : 0.0;
            case 1: return tenths(random) / 10.0;
            case 2: return std::round(any(random));
            default: return any(random);
        }
    };
    std::vector<AnalyzeResult> rows;
    std::string file = kHeader;
    for (int i = 0; i < 2000; ++i) {
        AnalyzeResult r{std::to_string(i) + text(), text(), text(), text(), number(true), number(true),
                        number(true), number(true), i % 3 ? "ok" : text(), number(false), number(false), true};
        file += lineOf(r) + "\n";
        rows.push_back(r);
    }
    const PreviousRows loaded = load(file);
    ASSERT_EQ(loaded.size(), rows.size());
    for (const AnalyzeResult& want : rows) {
        const AnalyzeResult& got = loaded.at(want.relative_path);
        EXPECT_EQ(std::tie(got.file_name, got.title, got.artist, got.status, got.hasSilenceMeasurement),
                  std::tie(want.file_name, want.title, want.artist, want.status, want.hasSilenceMeasurement));
        const double gotNumbers[] = {got.duration_sec, got.measured_lufs, got.true_peak_dbfs,
                                     got.gain_db, got.leading_silence_sec, got.trailing_silence_sec};
        const double exact[] = {want.duration_sec, want.measured_lufs, want.true_peak_dbfs,
                                want.gain_db, want.leading_silence_sec, want.trailing_silence_sec};
        for (size_t k = 0; k < 6; ++k) {
            if (std::isnan(exact[k])) {
                EXPECT_TRUE(std::isnan(gotNumbers[k])) << want.relative_path << "/" << k;
                continue;
            }
            EXPECT_NEAR(gotNumbers[k], exact[k], 0.05 + 1e-9) << want.relative_path << "/" << k;
            // Ten times a written one-decimal text is a whole number.
            EXPECT_DOUBLE_EQ(std::round(gotNumbers[k] * 10), gotNumbers[k] * 10) << want.relative_path << "/" << k;
        }
    }
}

}  // namespace
}  // namespace quellmark
