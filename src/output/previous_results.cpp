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

namespace {

std::uint32_t hashOf(std::string_view relativePath) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(relativePath));
}

}  // namespace

void PreviousResults::setRow(AnalyzeResult row) {
    // At most half full, so that a probe ends soon at an empty slot.
    if (2 * (m_entries.size() + 1) > m_index.size()) growIndex();
    const std::uint32_t hash = hashOf(row.relative_path);
    Slot& slot = m_index[slotOf(row.relative_path, hash)];
    if (slot.entry != 0) {
        Entry& entry = m_entries[slot.entry - 1];  // the same path: its slot stays
        entry.row = std::move(row);
        entry.stamp.reset();
        return;
    }
    m_entries.push_back(Entry{std::move(row), std::nullopt});
    slot = {hash, static_cast<std::uint32_t>(m_entries.size())};
}

void PreviousResults::setStamp(std::string_view relativePath, const MetaEntry& stamp) {
    if (Entry* entry = find(relativePath)) entry->stamp = stamp;
}

const PreviousResults::Entry* PreviousResults::find(std::string_view relativePath) const {
    if (m_index.empty()) return nullptr;
    const Slot& slot = m_index[slotOf(relativePath, hashOf(relativePath))];
    return slot.entry == 0 ? nullptr : &m_entries[slot.entry - 1];
}

PreviousResults::Entry* PreviousResults::find(std::string_view relativePath) {
    return const_cast<Entry*>(std::as_const(*this).find(relativePath));
}

std::size_t PreviousResults::slotOf(std::string_view relativePath, std::uint32_t hash) const {
    const std::size_t mask = m_index.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = m_index[at];
        if (slot.entry == 0) return at;
        if (slot.hash == hash && m_entries[slot.entry - 1].row.relative_path == relativePath) return at;
    }
}

void PreviousResults::growIndex() {
    std::vector<Slot> old = std::exchange(m_index, std::vector<Slot>(std::max<std::size_t>(64, 2 * m_index.size())));
    const std::size_t mask = m_index.size() - 1;
    for (const Slot& slot : old) {
        if (slot.entry == 0) continue;
        std::size_t at = slot.hash & mask;
        while (m_index[at].entry != 0) at = (at + 1) & mask;
        m_index[at] = slot;
    }
}

}  // namespace quellmark
