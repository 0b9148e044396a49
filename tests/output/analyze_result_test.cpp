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

using test::TempDir;
using test::writeFile;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
constexpr const char* kHeader =
    "relative_path,file_name,title,artist,duration_sec,measured_lufs,true_peak_dbfs,gain_db,status,"
    "leading_silence_sec,trailing_silence_sec";

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
    EXPECT_EQ(csvLine(std::vector<std::string>(csvHeader().begin(), csvHeader().end())), kHeader);
    EXPECT_EQ(lineOf(measured()),
              "Album/01 Intro.flac,01 Intro.flac,Intro,Some Artist,245.3,-14.2,-0.5,-3.8,ok,0.4,1.2");

    const AnalyzeResult failed{"Album/02.mp3", "02.mp3", "02", "", kNaN, kNaN, kNaN, 0, "error:decode_failed", 0, 0, true};
    EXPECT_EQ(lineOf(failed), "Album/02.mp3,02.mp3,02,,,,,0,error:decode_failed,0,0");

    AnalyzeResult old = measured();
    old.hasSilenceMeasurement = false;
    old.leading_silence_sec = 0;
    old.trailing_silence_sec = 0;
    EXPECT_EQ(lineOf(old), "Album/01 Intro.flac,01 Intro.flac,Intro,Some Artist,245.3,-14.2,-0.5,-3.8,ok,0,0");
}

TEST(CsvFormat, QuotesExactlyTheFieldsThatNeedIt) {
    struct Case {
        std::string field;
        std::string written;
    };
    const Case cases[] = {
        {"plain title", "plain title"},
        {"", ""},
        {"Hello, World", "\"Hello, World\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"\"", "\"\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"carriage\rreturn", "\"carriage\rreturn\""},
        {"日本語のタイトル", "日本語のタイトル"},
        {"Café; tab\tand 'single'", "Café; tab\tand 'single'"},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> fields{"a", c.field, "b"};
        EXPECT_EQ(csvLine(fields), "a," + c.written + ",b") << c.field;
        EXPECT_EQ(parseCSVLine(csvLine(fields)), fields) << c.field;
    }
    EXPECT_EQ(csvLine(std::vector<std::string>{}), "");
    EXPECT_EQ(csvLine(std::vector<std::string>{"", "", ""}), ",,");
}

TEST(CsvFormat, FormatNumberTable) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {kNaN, ""},
        {kInf, ""},
        {-kInf, ""},
        {0.0, "0"},
        {-0.0, "0"},
        {-16.0, "-16"},
        {12.0, "12"},
        {245.0, "245"},
        {-23.44, "-23.4"},
        {-23.4, "-23.4"},
        {0.25, "0.2"},   // exact binary half: ties to even
        {0.75, "0.8"},
        {-0.25, "-0.2"},
        {0.35, "0.3"},   // 0.34999999999999997…
        {0.45, "0.5"},   // 0.45000000000000001…
        {2.5, "2.5"},
        {-2.5, "-2.5"},
        {0.04, "0.0"},
        {-0.04, "-0.0"},  // what "%.1f" prints; not integral, so not the zero rule
        {9.96, "10.0"},
        {4503599627370495.5, "4503599627370495.5"},
        {9007199254740992.0, "9007199254740992"},       // 2^53
        {9223372036854774784.0, "9223372036854774784"},  // largest double below 2^63
        {9223372036854775808.0, "9223372036854775808"},  // 2^63
        {-9223372036854775808.0, "-9223372036854775808"},
        {-9223372036854777856.0, "-9223372036854777856"},  // next double below -2^63
        {18446744073709551616.0, "18446744073709551616"},  // 2^64
        {1e20, "100000000000000000000"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatNumber(c.value), c.text) << c.value;
}

// glibc's printf in the C locale is an independent reference for the rounding
// of "%.1f" and of the integral branch.
TEST(CsvFormat, FormatNumberAgreesWithCLocalePrintf) {
    const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    ASSERT_NE(cLocale, static_cast<locale_t>(0));
    const locale_t previous = uselocale(cLocale);
    const auto reference = [](double value) {
        char buffer[512];
        if (std::nearbyint(value) == value) {
            std::snprintf(buffer, sizeof buffer, "%.0f", value == 0 ? 0.0 : value);
        } else {
            std::snprintf(buffer, sizeof buffer, "%.1f", value);
        }
        return std::string(buffer);
    };
    std::vector<double> values = {0.05, 0.15, 0.25, 0.35, 0.45, 0.55, 0.65, 0.95, 1.05, 1e-300, -1e-300,
                                  123456.75, 1e300, -1.7976931348623157e308, 5e-324, 0.1 + 0.2};
    std::mt19937_64 random(20260611);
    std::uniform_real_distribution<double> wide(-1000, 1000);
    std::uniform_int_distribution<int> tenths(-100000, 100000);
    for (int i = 0; i < 20000; ++i) {
        values.push_back(wide(random));
        values.push_back(tenths(random) / 10.0);
        values.push_back(tenths(random) / 100.0 + 0.005);
    }
    for (const double v : values) {
        const std::string expected = reference(v);
        ASSERT_EQ(formatNumber(v), expected) << v;
    }
    uselocale(previous);
    freelocale(cLocale);
}

TEST(CsvFormat, ParseLineTable) {
    struct Case {
        std::string line;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"", {""}},
        {"a", {"a"}},
        {"a,\"b,c\",d", {"a", "b,c", "d"}},
        {"a,b,", {"a", "b", ""}},
        {",", {"", ""}},
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
        {"\"\"", {""}},
        {"a,\"\"\"\"", {"a", "\""}},
        {"ab\"c,d\"e,f", {"abc,de", "f"}},
        {"a,\"unterminated,b\"\"c", {"a", "unterminated,b\"c"}},
        {"x,\"ends in quote\"", {"x", "ends in quote"}},
        {"\"a\"b\"c,d\"", {"abc,d"}},
    };
    for (const auto& c : cases) EXPECT_EQ(parseCSVLine(c.line), c.fields) << c.line;
}

TEST(CsvFormat, ResultFromFieldsByFieldCount) {
    const std::vector<std::string> nine{"p.flac", "p.flac", "T", "A", "10", "-20.5", "-1", "2.5", "ok"};
    auto ten = nine;
    ten.push_back("0.3");
    auto eleven = ten;
    eleven.push_back("1.5");
    auto twelve = eleven;
    twelve.push_back("extra");

    const AnalyzeResult fromNine = resultFromFields(nine);
    EXPECT_EQ(fromNine, (AnalyzeResult{"p.flac", "p.flac", "T", "A", 10, -20.5, -1, 2.5, "ok", 0, 0, false}));
    EXPECT_EQ(resultFromFields(ten),
              (AnalyzeResult{"p.flac", "p.flac", "T", "A", 10, -20.5, -1, 2.5, "ok", 0.3, 0, false}));
    EXPECT_EQ(resultFromFields(eleven),
              (AnalyzeResult{"p.flac", "p.flac", "T", "A", 10, -20.5, -1, 2.5, "ok", 0.3, 1.5, true}));
    EXPECT_EQ(resultFromFields(twelve), resultFromFields(eleven));
}

TEST(CsvFormat, UnparseableNumbersBecomeNaNOrZero) {
    const char* bad[] = {"", " 1.5", "1.5 ", "\t2", "1,5", "abc", "1.5x", "--1", "0x10", "1e", "\n3"};
    for (const char* text : bad) {
        const std::vector<std::string> fields{"p", "p", "t", "a", text, text, text, text, "ok", text, text};
        const AnalyzeResult r = resultFromFields(fields);
        EXPECT_TRUE(std::isnan(r.duration_sec) && std::isnan(r.measured_lufs) && std::isnan(r.true_peak_dbfs) &&
                    std::isnan(r.gain_db))
            << '"' << text << '"';
        EXPECT_EQ(r.leading_silence_sec, 0) << text;
        EXPECT_EQ(r.trailing_silence_sec, 0) << text;
        EXPECT_TRUE(r.hasSilenceMeasurement) << text;
    }
    const std::vector<std::string> good{"p", "p", "t", "a", "+1.5", "-0", "1e1", "-23.4", "ok", "0.05", "7"};
    const AnalyzeResult r = resultFromFields(good);
    EXPECT_EQ(r.duration_sec, 1.5);
    EXPECT_EQ(r.measured_lufs, 0.0);
    EXPECT_EQ(r.true_peak_dbfs, 10.0);
    EXPECT_EQ(r.gain_db, -23.4);
    EXPECT_EQ(r.leading_silence_sec, 0.05);
    EXPECT_EQ(r.trailing_silence_sec, 7.0);
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
    EXPECT_TRUE(load(std::string(kHeader) + "\n" + row + "b\xFF.flac,b,B,,1,-20,-1,2,ok,0,0\n").empty());
    EXPECT_TRUE(load(std::string(kHeader) + "\n" + row + "\xE6\x97\n").empty());  // cut multibyte sequence
    EXPECT_TRUE(load(std::string(kHeader) + "\n").empty());
    EXPECT_TRUE(load(std::string(kHeader)).empty());
    EXPECT_TRUE(load("").empty());
    EXPECT_TRUE(load("\n\n\n").empty());
}

TEST_F(LoadPreviousRows, ReadsRowsLastWinsAndSkipsShortLines) {
    const std::string text = std::string(kHeader) +
                             "\n"
                             "\n"
                             "a.flac,a.flac,First,,1,-20,-1,2,ok,0,0\n"
                             "too,short,line\n"
                             "b.flac,b.flac,Nine,,1,-20,-1,2,ok\n"
                             "\n\n"
                             "a.flac,a.flac,Second,,3,-21,-2,3,ok,0.5,0.6\n";
    const PreviousRows rows = load(text);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.at("a.flac"), (AnalyzeResult{"a.flac", "a.flac", "Second", "", 3, -21, -2, 3, "ok", 0.5, 0.6, true}));
    EXPECT_EQ(rows.at("b.flac"), (AnalyzeResult{"b.flac", "b.flac", "Nine", "", 1, -20, -1, 2, "ok", 0, 0, false}));
}

TEST_F(LoadPreviousRows, FirstLineIsTheHeaderWhateverItHolds) {
    const PreviousRows rows = load("a.flac,a.flac,A,,1,-20,-1,2,ok,0,0\nb.flac,b.flac,B,,1,-20,-1,2,ok,0,0\n");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows.contains("b.flac"));
}

TEST_F(LoadPreviousRows, CrLfFileReadsLikeLfFile) {
    const std::string lf = std::string(kHeader) + "\na.flac,a.flac,\"x,y\",,1,-20,-1,2,ok,0.1,0.2\nb,b,B,,1,2,3,0,error:decode_failed,0,0\n";
    std::string crlf;
    for (const char c : lf) {
        if (c == '\n') crlf += "\r\n";
        else crlf += c;
    }
    const PreviousRows fromLf = load(lf);
    ASSERT_EQ(fromLf.size(), 2u);
    EXPECT_EQ(load(crlf), fromLf);
    EXPECT_EQ(fromLf.at("a.flac").trailing_silence_sec, 0.2);
}

TEST_F(LoadPreviousRows, TitleHoldingALineFeedCannotForgeARow) {
    AnalyzeResult tricky = measured();
    tricky.relative_path = "Album/02.flac";
    tricky.file_name = "02.flac";
    tricky.title = "x\nAlbum/01.flac,01.flac,Forged,,1,-20,-1,12,ok,0,0\n\"";
    const std::string text = std::string(kHeader) + "\n" + lineOf(tricky) + "\n";
    const PreviousRows rows = load(text);
    EXPECT_FALSE(rows.contains("Album/01.flac"));
    ASSERT_TRUE(rows.contains("Album/02.flac"));
    EXPECT_EQ(rows.at("Album/02.flac"), tricky);
}

// A copy of the file cut at any byte (a crash of whoever copied it, a full
// disk) may lose rows but never yields a row that was not written.
TEST_F(LoadPreviousRows, FileCutAtEveryByteYieldsOnlyWrittenRows) {
    std::vector<AnalyzeResult> written;
    for (int i = 0; i < 4; ++i) {
        AnalyzeResult r = measured();
        r.relative_path = "d/" + std::to_string(i) + ".flac";
        r.title = i == 1 ? "multi\nline, \"quoted\"" : "t" + std::to_string(i);
        r.trailing_silence_sec = 12.5 + i;
        written.push_back(r);
    }
    std::string text = std::string(kHeader) + "\n";
    for (const auto& r : written) text += lineOf(r) + "\n";

    for (size_t cut = 0; cut <= text.size(); ++cut) {
        const PreviousRows rows = load(text.substr(0, cut));
        for (const auto& [path, row] : rows) {
            const bool known = std::find(written.begin(), written.end(), row) != written.end();
            EXPECT_TRUE(known) << "cut at " << cut << ": " << path;
        }
    }
    EXPECT_EQ(load(text).size(), written.size());
}

// Random rows with hostile texts survive writing and reading back: texts
// exactly, numbers to the one decimal written.
TEST_F(LoadPreviousRows, RandomRowsRoundTrip) {
    const std::vector<std::string> pieces = {",", "\"", "\n", "\r", "\r\n", "\"\"", ",ok,", "日本", "é", " ",
                                             "a", "Album/", "ok", "\n\"", "\xF0\x9F\x8E\xB5", "\t", ""};
    std::mt19937 random(424242);
    const auto text = [&] {
        std::string s;
        const int n = std::uniform_int_distribution<int>(0, 6)(random);
        for (int i = 0; i < n; ++i) s += pieces[random() % pieces.size()];
        return s;
    };
    std::uniform_int_distribution<int> tenths(-999999, 999999);
    std::uniform_real_distribution<double> any(-500, 500);
    const auto number = [&](double& exact) {
        switch (random() % 4) {
            case 0: exact = kNaN; return exact;
            case 1: exact = tenths(random) / 10.0; return exact;
            case 2: exact = std::round(any(random)); return exact;
            default: exact = any(random); return exact;
        }
    };

    std::vector<AnalyzeResult> rows;
    std::vector<std::array<double, 6>> exactNumbers;
    std::string file = std::string(kHeader) + "\n";
    for (int i = 0; i < 2000; ++i) {
        std::array<double, 6> exact{};
        AnalyzeResult r{std::to_string(i) + text(), text(), text(), text(), number(exact[0]), number(exact[1]),
                        number(exact[2]), number(exact[3]), i % 3 ? "ok" : text(), 0, 0, true};
        r.leading_silence_sec = std::isnan(number(exact[4])) ? 0 : exact[4];
        r.trailing_silence_sec = std::isnan(number(exact[5])) ? 0 : exact[5];
        exact[4] = r.leading_silence_sec;
        exact[5] = r.trailing_silence_sec;
        file += lineOf(r) + "\n";
        rows.push_back(r);
        exactNumbers.push_back(exact);
    }
    const PreviousRows loaded = load(file);
    ASSERT_EQ(loaded.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const AnalyzeResult& want = rows[i];
        const AnalyzeResult& got = loaded.at(want.relative_path);
        EXPECT_EQ(got.file_name, want.file_name);
        EXPECT_EQ(got.title, want.title);
        EXPECT_EQ(got.artist, want.artist);
        EXPECT_EQ(got.status, want.status);
        EXPECT_TRUE(got.hasSilenceMeasurement);
        const double gotNumbers[] = {got.duration_sec,  got.measured_lufs,       got.true_peak_dbfs,
                                     got.gain_db,       got.leading_silence_sec, got.trailing_silence_sec};
        for (size_t k = 0; k < 6; ++k) {
            const double exact = exactNumbers[i][k];
            if (std::isnan(exact)) {
                EXPECT_TRUE(std::isnan(gotNumbers[k])) << i << "/" << k;
            } else {
                EXPECT_NEAR(gotNumbers[k], exact, 0.05 + 1e-9) << i << "/" << k;
                // Ten times a written one-decimal text is a whole number.
                EXPECT_DOUBLE_EQ(std::round(gotNumbers[k] * 10), gotNumbers[k] * 10) << i << "/" << k;
            }
        }
    }
}

}  // namespace
}  // namespace quellmark
