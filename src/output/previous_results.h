#pragma once
// What earlier runs left in one folder: the rows of its volume_gains.csv, each
// with the stamp its meta file holds for the same path. A rerun over a large
// library looks up every file here once, and the rows it carries over are
// published without a copy, so each row is stored once, in place, and found
// with one hash look-up.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "output/analyze_result.h"
#include "output/meta_entry.h"

namespace quellmark {

class PreviousResults {
public:
    /// One row and the stamp recorded for its path, if any.
    struct Entry {
        AnalyzeResult row;
        std::optional<MetaEntry> stamp;
    };

    PreviousResults() = default;
    PreviousResults(const PreviousResults&) = delete;
    PreviousResults& operator=(const PreviousResults&) = delete;
    PreviousResults(PreviousResults&&) = default;
    PreviousResults& operator=(PreviousResults&&) = default;

    /// The folder's volume_gains.csv and volume_gains.csv.meta.json. Never fails:
    /// a missing or damaged file contributes nothing (a damaged meta file, no
    /// stamp at all); anything but a regular file at either name is not read.
    /// Reads only. Blocks; any thread.
    static PreviousResults load(const std::filesystem::path& folder);

    /// Adds the rows of CSV text (see forEachCsvRow); a row replaces an earlier
    /// one of the same path, dropping its stamp.
    void addRows(std::string_view csvText);
    /// Adds or replaces one row, dropping the stamp of a replaced one.
    void setRow(AnalyzeResult row);
    /// Records the stamp of a path that has a row; a path without a row is ignored.
    void setStamp(std::string_view relativePath, const MetaEntry& stamp);

    /// The entry of `relativePath`, or null. Entries never move: the pointer
    /// stays valid for the life of this object, through later additions.
    const Entry* find(std::string_view relativePath) const;
    Entry* find(std::string_view relativePath);
    std::size_t size() const { return m_entries.size(); }

private:
    /// One slot of the index: the hash of a path and its entry's position + 1
    /// (0: empty). A probe looks at an entry only when the hashes agree, and
    /// growing the index never looks at one.
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t entry = 0;
    };
    /// The slot of `relativePath` (hash `hash`) in the index: its entry's, or
    /// the empty one where it would go.
    std::size_t slotOf(std::string_view relativePath, std::uint32_t hash) const;
    void growIndex();

    std::deque<Entry> m_entries;
    // Open addressing keyed by the rows' own paths: a fraction of the memory
    // and of the cache misses of a node-based map for a library's worth of rows.
    std::vector<Slot> m_index;
};

}  // namespace quellmark
