#pragma once
// The folder's loudness at a glance, as plain data: measured loudness counted
// in bins of 1 LU, the band the clamp reaches around the target, and the files
// beyond it. Rows are added one by one as they arrive. Qt-free.

#include <cstdint>
#include <map>
#include <string>

#include "output/analyze_result.h"

namespace quellmark {

class LoudnessHistogram {
public:
    /// Forgets every row; the band is target ± clamp.
    void reset(double targetLUFS, double clampDB);
    void add(const AnalyzeResult& row);

    double targetLUFS() const { return m_targetLUFS; }
    double clampDB() const { return m_clampDB; }
    /// Bin b counts the loudness values in [b, b + 1).
    const std::map<int, std::int64_t>& bins() const { return m_bins; }
    /// The count of the fullest bin among [firstBin, lastBin].
    std::int64_t highestCount(int firstBin, int lastBin) const;
    /// Files quieter than target − clamp, whose gain the clamp limits.
    std::int64_t quieterThanBand() const { return m_quieter; }
    /// Files louder than target + clamp.
    std::int64_t louderThanBand() const { return m_louder; }
    /// Failed files and files without a measurable loudness (silence, very short).
    std::int64_t withoutLoudness() const { return m_without; }
    /// The bins worth drawing: the band and a few bins on either side.
    int firstShownBin() const;
    int lastShownBin() const;

private:
    double m_targetLUFS = -18.0;
    double m_clampDB = 12.0;
    std::map<int, std::int64_t> m_bins;
    std::int64_t m_quieter = 0;
    std::int64_t m_louder = 0;
    std::int64_t m_without = 0;
};

/// The texts drawn with a histogram.
struct HistogramTexts {
    std::string title;
    std::string target;
    std::string quieter;
    std::string louder;
    std::string without;
};
HistogramTexts histogramTexts(const LoudnessHistogram& histogram);

}  // namespace quellmark
