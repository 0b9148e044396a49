#include "ui/result_table.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace quellmark {

namespace {

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool containsIgnoringAsciiCase(std::string_view text, std::string_view part) {
    return std::search(text.begin(), text.end(), part.begin(), part.end(),
                       [](char a, char b) { return asciiLower(a) == asciiLower(b); }) != text.end();
}

}  // namespace

void ResultTable::setLog(std::shared_ptr<const ResultLog> log) {
    m_log = std::move(log);
    m_order.clear();
    m_shown.clear();
    m_numberKeys.clear();
    m_textKeys.clear();
    appendToShown(takeNewRows());
    mergeShownFrom(0);
}

// The keys live by log index, so that a comparison reads two numbers (or two
// views) side by side instead of two entries hundreds of bytes apart: this is
// what keeps a sort of a few hundred thousand rows well under a second.
void ResultTable::addKeys(std::size_t from, std::size_t to) {
    if (!m_column || !m_log) return;
    const ResultLog& log = *m_log;
    if (isTextColumn(*m_column)) {
        m_textKeys.reserve(to);
        for (std::size_t i = from; i < to; ++i) m_textKeys.push_back(resultText(log[i], *m_column));
    } else {
        m_numberKeys.reserve(to);
        for (std::size_t i = from; i < to; ++i) m_numberKeys.push_back(resultNumber(log[i], *m_column));
    }
}

// A strict total order: empty keys after all others in both directions, then
// the written order, so equal keys never reorder between sorts and inserts.
bool ResultTable::before(std::uint32_t a, std::uint32_t b) const {
    if (m_column) {
        if (isTextColumn(*m_column)) {
            const std::string_view ka = m_textKeys[a], kb = m_textKeys[b];
            if (ka.empty() != kb.empty()) return kb.empty();
            if (ka != kb) return m_descending ? kb < ka : ka < kb;
        } else {
            const double ka = m_numberKeys[a], kb = m_numberKeys[b];
            if (std::isnan(ka) != std::isnan(kb)) return std::isnan(kb);
            if (ka != kb && !std::isnan(ka)) return m_descending ? kb < ka : ka < kb;
        }
    }
    return a < b;
}

bool ResultTable::passes(std::uint32_t index) const {
    const ResultEntry& entry = (*m_log)[index];
    if (m_failedOnly && entry.row->status == RowStatus::ok) return false;
    return m_pathFilter.empty() || containsIgnoringAsciiCase(entry.row->relative_path, m_pathFilter);
}

std::vector<ResultTable::Insertion> ResultTable::takeNewRows() {
    const std::size_t from = m_order.size(), to = m_log ? m_log->size() : 0;
    if (from >= to) return {};
    addKeys(from, to);
    std::vector<std::uint32_t> fresh(to - from);
    std::iota(fresh.begin(), fresh.end(), static_cast<std::uint32_t>(from));
    const auto less = [this](std::uint32_t a, std::uint32_t b) { return before(a, b); };
    if (m_column) std::sort(fresh.begin(), fresh.end(), less);
    m_order.insert(m_order.end(), fresh.begin(), fresh.end());
    std::inplace_merge(m_order.begin(), m_order.begin() + static_cast<std::ptrdiff_t>(from), m_order.end(), less);

    std::vector<Insertion> insertions;
    std::size_t lastBase = 0, inserted = 0;
    for (const std::uint32_t row : fresh) {
        if (!passes(row)) continue;
        const std::size_t base =
            static_cast<std::size_t>(std::upper_bound(m_shown.begin(), m_shown.end(), row, less) - m_shown.begin());
        if (insertions.empty() || base != lastBase) insertions.push_back({base + inserted, {}});
        insertions.back().rows.push_back(row);
        lastBase = base;
        ++inserted;
    }
    return insertions;
}

void ResultTable::applyInsertion(const Insertion& insertion) {
    m_shown.insert(m_shown.begin() + static_cast<std::ptrdiff_t>(insertion.position), insertion.rows.begin(),
                   insertion.rows.end());
}

void ResultTable::appendToShown(const std::vector<Insertion>& insertions) {
    for (const Insertion& insertion : insertions) m_shown.insert(m_shown.end(), insertion.rows.begin(), insertion.rows.end());
}

void ResultTable::mergeShownFrom(std::size_t from) {
    std::inplace_merge(m_shown.begin(), m_shown.begin() + static_cast<std::ptrdiff_t>(from), m_shown.end(),
                       [this](std::uint32_t a, std::uint32_t b) { return before(a, b); });
}

void ResultTable::sortBy(std::optional<ResultColumn> column, bool descending) {
    m_column = column;
    m_descending = descending;
    m_numberKeys.clear();
    m_textKeys.clear();
    addKeys(0, m_order.size());
    std::iota(m_order.begin(), m_order.end(), 0u);
    if (m_column) std::sort(m_order.begin(), m_order.end(), [this](auto a, auto b) { return before(a, b); });
    refilter();
}

void ResultTable::setFilter(bool failedOnly, std::string pathText) {
    m_failedOnly = failedOnly;
    m_pathFilter = std::move(pathText);
    refilter();
}

void ResultTable::refilter() {
    m_shown.clear();
    for (const std::uint32_t row : m_order) {
        if (passes(row)) m_shown.push_back(row);
    }
}

std::optional<std::size_t> ResultTable::shownRowOf(std::uint32_t index) const {
    const auto found = std::find(m_shown.begin(), m_shown.end(), index);
    if (found == m_shown.end()) return std::nullopt;
    return static_cast<std::size_t>(found - m_shown.begin());
}

void RunTally::take(const ResultLog& log) {
    for (; taken < log.size(); ++taken) {
        const ResultEntry& entry = log[taken];
        if (entry.origin != RowOrigin::measured) continue;
        ++measured;
        if (entry.row->status == RowStatus::ffmpegNotFound) ++withoutFfmpeg;
    }
}

}  // namespace quellmark
