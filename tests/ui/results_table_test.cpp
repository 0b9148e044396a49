#include "ui/result_table.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "ui/loudness_histogram.h"

namespace quellmark {
namespace {

const double kNaN = std::nan("");

AnalyzeResult rowOf(std::string path, double lufs, double gain, RowStatus status = RowStatus::ok) {
    return {path, path, "T", "", 61.0, lufs, -1.0, gain, status, 0.5, 1.0, true};
}

ResultEntry entry(std::string path, double lufs, double gain, RowStatus status = RowStatus::ok, std::string reason = {}) {
    return {std::make_shared<const AnalyzeResult>(rowOf(path, lufs, gain, status)), std::move(reason), RowOrigin::measured};
}

std::string shownPaths(const ResultTable& t) {
    std::string paths;
    for (std::size_t i = 0; i < t.shownCount(); ++i) paths += (i ? " " : "") + t.entry(i).row->relative_path;
    return paths;
}

std::shared_ptr<ResultLog> sampleLog() {
    auto log = std::make_shared<ResultLog>(-18.0, 12.0);
    log->append(entry("b/Two.flac", -9.0, -9.0));
    log->append(entry("A/one.mp3", kNaN, 0, RowStatus::decodeFailed, "ffmpeg が終了コード 1 で終了しました"));
    log->append(entry("c/three.ogg", -10.0, -8.0));
    log->append(entry("a/four.wav", -9.0, kNaN));
    log->append(entry("B/five.mp3", kNaN, 0, RowStatus::ffmpegNotFound));
    return log;
}

// Numbers sort as numbers (-9 before -10 only when descending), empty cells
// last in both directions, equal keys in the order the rows were written.
TEST(ResultTable, SortsNumbersAsNumbersWithEmptyCellsLast) {
    const struct { std::optional<ResultColumn> column; bool descending; const char* order; } cases[] = {
        {std::nullopt, false, "b/Two.flac A/one.mp3 c/three.ogg a/four.wav B/five.mp3"},
        {ResultColumn::loudness, false, "c/three.ogg b/Two.flac a/four.wav A/one.mp3 B/five.mp3"},
        {ResultColumn::loudness, true, "b/Two.flac a/four.wav c/three.ogg A/one.mp3 B/five.mp3"},
        {ResultColumn::gain, false, "b/Two.flac c/three.ogg A/one.mp3 B/five.mp3 a/four.wav"},
        {ResultColumn::gain, true, "A/one.mp3 B/five.mp3 c/three.ogg b/Two.flac a/four.wav"},
        {ResultColumn::path, false, "A/one.mp3 B/five.mp3 a/four.wav b/Two.flac c/three.ogg"},
        {ResultColumn::path, true, "c/three.ogg b/Two.flac a/four.wav B/five.mp3 A/one.mp3"},
        {ResultColumn::reason, true, "A/one.mp3 b/Two.flac c/three.ogg a/four.wav B/five.mp3"},
        {ResultColumn::status, false, "b/Two.flac c/three.ogg a/four.wav B/five.mp3 A/one.mp3"},
    };
    ResultTable table;
    table.setLog(sampleLog());
    for (const auto& c : cases) {
        table.sortBy(c.column, c.descending);
        EXPECT_EQ(shownPaths(table), c.order) << (c.column ? int(*c.column) : -1) << (c.descending ? " desc" : "");
    }
    table.setFilter(true, "");
    EXPECT_EQ(shownPaths(table), "B/five.mp3 A/one.mp3");
    table.setFilter(false, "B/");
    EXPECT_EQ(shownPaths(table), "b/Two.flac B/five.mp3");
    table.setFilter(true, "b/");
    EXPECT_EQ(shownPaths(table), "B/five.mp3");
}

// Rows taken while a run goes on land where a sort of all rows puts them,
// whether applied one place at a time or appended and merged.
TEST(ResultTable, RowsTakenDuringARunLandWhereAFullSortPutsThem) {
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        auto log = std::make_shared<ResultLog>(-18.0, 12.0);
        ResultTable growing;
        const auto column = static_cast<ResultColumn>(random() % kResultColumnCount);
        const bool descending = random() % 2, failedOnly = random() % 3 == 0, oneByOne = round % 2;
        growing.sortBy(column, descending);
        growing.setFilter(failedOnly, random() % 2 ? "1" : "");
        growing.setLog(log);
        for (int batch = 0; batch < 6; ++batch) {
            for (unsigned i = random() % 30; i > 0; --i) {
                const int n = int(log->size());
                const double lufs = random() % 5 == 0 ? kNaN : -20.0 + double(random() % 8);
                log->append(entry("p" + std::to_string(n % 13) + "/" + std::to_string(n), lufs, -18.0 - lufs,
                                  std::isnan(lufs) ? RowStatus::decodeFailed : RowStatus::ok,
                                  random() % 2 ? "r" + std::to_string(random() % 4) : ""));
            }
            const std::size_t before = growing.shownCount();
            const auto insertions = growing.takeNewRows();
            for (const auto& insertion : insertions) oneByOne ? growing.applyInsertion(insertion) : growing.appendToShown({insertion});
            if (!oneByOne) growing.mergeShownFrom(before);
        }
        ResultTable whole;
        whole.sortBy(column, descending);
        whole.setFilter(failedOnly, growing.pathFilter());
        whole.setLog(log);
        ASSERT_EQ(shownPaths(growing), shownPaths(whole)) << "round " << round;
    }
}

TEST(ResultCells, TextsOfEachColumn) {
    AnalyzeResult row = rowOf("x.flac", -20.04, -0.04, RowStatus::unrecognized), other = rowOf("y.flac", -20.0, 2.0);
    row.duration_sec = 3725.4;
    row.true_peak_dbfs = -INFINITY;
    row.hasSilenceMeasurement = false;
    other.duration_sec = 64.5;
    const ResultEntry e{std::make_shared<const AnalyzeResult>(row), {}}, shortOne{std::make_shared<const AnalyzeResult>(other), {}};
    EXPECT_EQ(resultCellText(e, ResultColumn::duration) + " " + resultCellText(shortOne, ResultColumn::duration), "1:02:05 1:05");
    EXPECT_EQ(resultCellText(e, ResultColumn::gain) + " " + resultCellText(shortOne, ResultColumn::gain), "0.0 +2.0");
    EXPECT_EQ(resultCellText(e, ResultColumn::loudness) + "|" + resultCellText(e, ResultColumn::truePeak) + "|" +
                  resultCellText(e, ResultColumn::trailingSilence) + "|" + resultCellText(e, ResultColumn::status),
              "-20.0|||不明な状態");
    EXPECT_EQ(clampedGainTooltip(entry("q", -30.5, 6.0), ResultLog(-18.0, 6.0)),
              "クランプ範囲 ±6.0 dB で制限されています（本来の補正値 +12.5 dB）。");
}

TEST(LoudnessHistogram, CountsBinsTheBandAndFilesWithoutLoudness) {
    LoudnessHistogram histogram;
    histogram.reset(-18.0, 12.0);
    for (const double lufs : {-30.0, -30.1, -6.0, -5.9, -17.9, -18.0, -0.5, kNaN}) histogram.add(rowOf("f", lufs, 0));
    histogram.add(rowOf("e", -12.0, 0, RowStatus::decodeFailed));
    EXPECT_EQ(histogram.quieterThanBand(), 1);
    EXPECT_EQ(histogram.louderThanBand(), 2);
    EXPECT_EQ(histogram.withoutLoudness(), 2);
    EXPECT_EQ(histogram.bins(), (std::map<int, std::int64_t>{{-31, 1}, {-30, 1}, {-18, 2}, {-6, 2}, {-1, 1}}));
    const HistogramTexts texts = histogramTexts(histogram);
    EXPECT_EQ(texts.quieter + " | " + texts.louder + " | " + texts.without, "-30.0 未満: 1 件 | -6.0 超: 2 件 | ラウドネスなし: 2 件");
}

}  // namespace
}  // namespace quellmark
