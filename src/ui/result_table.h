#pragma once
// The rows of the results view in the order and selection the person asked
// for, as plain data: an index permutation over a ResultLog, sorted on keys
// computed once per row, filtered, and grown by the rows a run appends without
// sorting again. Qt-free, so a model over it and its tests need no display.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result_log.h"
#include "ui/result_cells.h"

namespace quellmark {

class ResultTable {
public:
    /// Rows that go into the shown order together. `position` counts in the
    /// shown order as it stands once the insertions before this one are applied.
    struct Insertion {
        std::size_t position = 0;
        std::vector<std::uint32_t> rows;
    };

    /// Shows every row of `log` (null shows none); the sort and filter stay.
    void setLog(std::shared_ptr<const ResultLog> log);
    const std::shared_ptr<const ResultLog>& log() const { return m_log; }

    /// Takes the rows appended to the log since the last take into the sorted
    /// order and returns where they enter the shown order, in ascending
    /// positions. The shown order changes only when they are applied: one by
    /// one with applyInsertion, or all at the end with appendToShown and then
    /// moved into place with mergeShownFrom(the count shown before).
    std::vector<Insertion> takeNewRows();
    void applyInsertion(const Insertion& insertion);
    void appendToShown(const std::vector<Insertion>& insertions);
    void mergeShownFrom(std::size_t from);

    /// Sorts by `column` (nullopt: the order the rows were written), empty
    /// cells last in either direction, ties in written order.
    void sortBy(std::optional<ResultColumn> column, bool descending);
    /// Shows only rows whose status is not ok, when `failedOnly`, and whose
    /// path holds `pathText` (ASCII letters in either case).
    void setFilter(bool failedOnly, std::string pathText);
    bool isFailedOnly() const { return m_failedOnly; }
    const std::string& pathFilter() const { return m_pathFilter; }

    std::size_t shownCount() const { return m_shown.size(); }
    /// The rows taken from the log so far, shown or not.
    std::size_t takenCount() const { return m_order.size(); }
    /// The log index of a shown row.
    std::uint32_t logIndex(std::size_t shownRow) const { return m_shown[shownRow]; }
    const ResultEntry& entry(std::size_t shownRow) const { return (*m_log)[m_shown[shownRow]]; }
    /// Where log entry `index` is shown, or nullopt when filtered out or not taken.
    std::optional<std::size_t> shownRowOf(std::uint32_t index) const;

private:
    bool before(std::uint32_t a, std::uint32_t b) const;
    bool passes(std::uint32_t index) const;
    void addKeys(std::size_t from, std::size_t to);
    void refilter();

    std::shared_ptr<const ResultLog> m_log;
    std::optional<ResultColumn> m_column;
    bool m_descending = false;
    bool m_failedOnly = false;
    std::string m_pathFilter;
    /// Every taken row, sorted.
    std::vector<std::uint32_t> m_order;
    /// The rows that pass the filter, in the sorted order.
    std::vector<std::uint32_t> m_shown;
    /// The sort column's key of every taken row, by log index (one of the two).
    std::vector<double> m_numberKeys;
    std::vector<std::string_view> m_textKeys;
};

/// The rows a run measured (not carried over) and those of them that failed
/// because ffmpeg was not found, counted as the run appends rows.
struct RunTally {
    std::size_t taken = 0;
    std::int64_t measured = 0;
    std::int64_t withoutFfmpeg = 0;
    /// Counts the rows of `log` appended since the last call.
    void take(const ResultLog& log);
};

}  // namespace quellmark
