#include "ui/loudness_histogram.h"

#include <algorithm>
#include <cmath>

#include "ui/view_model.h"

namespace quellmark {

namespace {
constexpr int kMarginBins = 3;
}

void LoudnessHistogram::reset(double targetLUFS, double clampDB) {
    *this = LoudnessHistogram();
    m_targetLUFS = targetLUFS;
    m_clampDB = clampDB;
}

void LoudnessHistogram::add(const AnalyzeResult& row) {
    const double lufs = row.measured_lufs;
    if (row.status != RowStatus::ok || !std::isfinite(lufs)) {
        ++m_without;
        return;
    }
    // The same test as the clamp's: the correction target − lufs beyond ±clamp.
    if (m_targetLUFS - lufs > m_clampDB) ++m_quieter;
    if (lufs - m_targetLUFS > m_clampDB) ++m_louder;
    ++m_bins[static_cast<int>(std::floor(lufs))];
}

std::int64_t LoudnessHistogram::highestCount(int firstBin, int lastBin) const {
    std::int64_t highest = 0;
    for (auto it = m_bins.lower_bound(firstBin); it != m_bins.end() && it->first <= lastBin; ++it)
        highest = std::max(highest, it->second);
    return highest;
}

int LoudnessHistogram::firstShownBin() const {
    return static_cast<int>(std::floor(m_targetLUFS - m_clampDB)) - kMarginBins;
}

int LoudnessHistogram::lastShownBin() const {
    return static_cast<int>(std::ceil(m_targetLUFS + m_clampDB)) + kMarginBins - 1;
}

HistogramTexts histogramTexts(const LoudnessHistogram& histogram) {
    const double target = histogram.targetLUFS(), clamp = histogram.clampDB();
    return {
        .title = "ラウドネス分布 (LUFS、1 LU ごと)",
        .target = "ターゲット " + formatOneDecimal(target),
        .quieter = formatOneDecimal(target - clamp) + " 未満: " + std::to_string(histogram.quieterThanBand()) + " 件",
        .louder = formatOneDecimal(target + clamp) + " 超: " + std::to_string(histogram.louderThanBand()) + " 件",
        .without = "ラウドネスなし: " + std::to_string(histogram.withoutLoudness()) + " 件",
    };
}

}  // namespace quellmark
