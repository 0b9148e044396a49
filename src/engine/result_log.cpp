#include "engine/result_log.h"

#include <cmath>

namespace quellmark {

void ResultLog::append(ResultEntry entry) {
    // Chunks of fixed capacity never reallocate, so a reference a front end
    // holds into an earlier entry stays valid while the run goes on.
    if (m_size % kChunkSize == 0) {
        m_chunks.push_back(std::make_unique<std::vector<ResultEntry>>());
        m_chunks.back()->reserve(kChunkSize);
    }
    m_chunks.back()->push_back(std::move(entry));
    ++m_size;
}

bool ResultLog::isClamped(const AnalyzeResult& row) const {
    if (row.status != RowStatus::ok || !std::isfinite(row.measured_lufs)) return false;
    return std::fabs(m_targetLUFS - row.measured_lufs) > m_clampDB;
}

}  // namespace quellmark
