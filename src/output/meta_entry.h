#pragma once
// Incremental state: what a run remembers of each file it measured, the meta
// file that holds it, and the test that decides whether a file is unchanged.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "output/analyze_result.h"

namespace quellmark {

/// Size and modification time of one file as recorded by a run.
struct MetaEntry {
    std::int64_t size = 0;
    std::uint64_t mtimeNs = 0;
    friend bool operator==(const MetaEntry&, const MetaEntry&) = default;
};

/// Entries keyed by relative_path; ordered by bytes, which is the order the meta file is written in.
using MetaMap = std::map<std::string, MetaEntry, std::less<>>;

/// `double(tv_sec) + double(tv_nsec) / 1e9`: the seconds every stamp is derived from.
double stampSeconds(std::int64_t tvSec, std::int64_t tvNsec);
/// Negative or NaN seconds give 0; otherwise seconds * 1e9 in double, truncated.
std::uint64_t mtimeNsFromSeconds(double seconds);
/// The stamp of the file at `path` from lstat (links are not followed): size and
/// mtimeNs, or size -1 and mtimeNs 0 when it cannot be read. The one function
/// every caller uses, because mtimeNs is compared exactly across runs.
MetaEntry fileStamp(const std::filesystem::path& path);

/// The meta file's compact JSON: members sorted by name at both levels, "{}" when empty.
std::string encodeMetaMap(const MetaMap& map);
/// The decoded map, or nullopt when the text is not exactly that shape (one bad entry spoils the whole file).
std::optional<MetaMap> decodeMetaMap(std::string_view json);
/// The decoded meta file at `path`; empty when it is missing, unreadable or damaged.
MetaMap loadPreviousMeta(const std::filesystem::path& path);

/// One journal line: a compact {"path":…,"mtimeNs":…,"size":…} object and a line feed.
std::string encodeJournalLine(std::string_view relativePath, const MetaEntry& entry);
/// The entries of a journal's text; a line that does not decode (one cut short by
/// a crash) is skipped. Later lines win.
MetaMap decodeJournal(std::string_view text);

/// The previous row to carry over for a file, or null when the file must be
/// analysed: incremental on, an "ok" row with silence columns, and a meta
/// entry equal to `current`. The pointer refers into `previousRows`.
const AnalyzeResult* carriedOverRow(bool incremental, const std::string& relativePath,
                                    const MetaEntry& current, const PreviousRows& previousRows,
                                    const MetaMap& previousMeta);

}  // namespace quellmark
