#pragma once
// The rows of one run as they are written, for the front ends to show. A run
// over a large library writes hundreds of thousands of rows; a front end takes
// only what is new since it last looked, so the rows are appended in place and
// never move, and nobody copies the whole sequence per redraw.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output/analyze_result.h"

namespace quellmark {

/// How a row came to be in this run's CSV.
enum class RowOrigin : std::uint8_t {
    /// The tools ran (or failed to) for this file in this run.
    measured,
    /// An unchanged file's own previous row.
    carried,
    /// An unchanged file's row taken from a subfolder's results.
    adopted,
};

/// One written row and, for a failed analysis, why it failed.
struct ResultEntry {
    /// Never null. A carried-over row is the previous run's row itself, shared
    /// with the run's previous state rather than copied.
    std::shared_ptr<const AnalyzeResult> row;
    /// One line for the person: the error's message and the tool's last words.
    /// Empty for every row whose status is ok, and for rows read back from a CSV.
    std::string reason;
    RowOrigin origin = RowOrigin::measured;
};

/// The rows of one run in the order they were written. Append-only: an entry
/// once appended stays at its index and its address for the life of the log.
/// Not thread-safe: the engine appends on its main thread, where front ends read.
class ResultLog {
public:
    /// `targetLUFS` and `clampDB` are the settings of the run the rows belong to.
    ResultLog(double targetLUFS, double clampDB) : m_targetLUFS(targetLUFS), m_clampDB(clampDB) {}
    ResultLog(const ResultLog&) = delete;
    ResultLog& operator=(const ResultLog&) = delete;

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const ResultEntry& operator[](std::size_t index) const {
        return (*m_chunks[index / kChunkSize])[index % kChunkSize];
    }
    void append(ResultEntry entry);

    double targetLUFS() const { return m_targetLUFS; }
    double clampDB() const { return m_clampDB; }
    /// True when the row's gain was limited by the clamp: it has a loudness and
    /// the correction towards the target lies beyond ±clamp.
    bool isClamped(const AnalyzeResult& row) const;

private:
    static constexpr std::size_t kChunkSize = 4096;
    std::vector<std::unique_ptr<std::vector<ResultEntry>>> m_chunks;
    std::size_t m_size = 0;
    double m_targetLUFS;
    double m_clampDB;
};

}  // namespace quellmark
