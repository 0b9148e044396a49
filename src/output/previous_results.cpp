#include "output/previous_results.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "base/file_descriptor.h"

namespace quellmark {

PreviousResults PreviousResults::load(const std::filesystem::path& folder) {
    PreviousResults results;
    if (const auto csv = readWholeFile(folder / "volume_gains.csv")) results.addRows(*csv);
    if (results.size() == 0) return results;
    if (const auto meta = readWholeFile(folder / "volume_gains.csv.meta.json")) {
        const bool whole = forEachMetaEntry(
            *meta, [&](std::string_view path, const MetaEntry& stamp) { results.setStamp(path, stamp); });
        // One bad entry spoils the whole file: none of its stamps can be trusted.
        if (!whole) {
            for (Entry& entry : results.m_entries) entry.stamp.reset();
        }
    }
    return results;
}

void PreviousResults::addRows(std::string_view csvText) {
    forEachCsvRow(csvText, [this](AnalyzeResult&& row) { setRow(std::move(row)); });
}

void PreviousResults::setRow(AnalyzeResult row) {
    // At most half full, so that a probe ends soon at an empty slot.
    if (2 * (m_entries.size() + 1) > m_index.size()) growIndex();
    Entry*& slot = m_index[slotOf(row.relative_path)];
    if (slot) {
        slot->row = std::move(row);  // the same path: its slot stays
        slot->stamp.reset();
        return;
    }
    slot = &m_entries.emplace_back(Entry{std::move(row), std::nullopt});
}

void PreviousResults::setStamp(std::string_view relativePath, const MetaEntry& stamp) {
    if (Entry* entry = find(relativePath)) entry->stamp = stamp;
}

const PreviousResults::Entry* PreviousResults::find(std::string_view relativePath) const {
    return m_index.empty() ? nullptr : m_index[slotOf(relativePath)];
}

PreviousResults::Entry* PreviousResults::find(std::string_view relativePath) {
    return m_index.empty() ? nullptr : m_index[slotOf(relativePath)];
}

std::size_t PreviousResults::slotOf(std::string_view relativePath) const {
    const std::size_t mask = m_index.size() - 1;
    std::size_t slot = std::hash<std::string_view>{}(relativePath) & mask;
    while (m_index[slot] && m_index[slot]->row.relative_path != relativePath) slot = (slot + 1) & mask;
    return slot;
}

void PreviousResults::growIndex() {
    std::vector<Entry*> old = std::exchange(m_index, std::vector<Entry*>(std::max<std::size_t>(64, 2 * m_index.size())));
    for (Entry* entry : old) {
        if (entry) m_index[slotOf(entry->row.relative_path)] = entry;
    }
}

}  // namespace quellmark
