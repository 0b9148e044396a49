#pragma once
// Incremental state: what a run remembers of each file it measured, the meta
// file that holds it, and the test that decides whether a file is unchanged.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
/// The same for a path held as plain bytes.
MetaEntry fileStamp(const std::string& path);
/// The same for the entry `name` of the open folder `folderFd` (fstatat, links
/// not followed): saves the kernel the walk along the whole path.
MetaEntry fileStampAt(int folderFd, const char* name);

/// The meta file's compact JSON: members sorted by name at both levels, "{}" when empty.
std::string encodeMetaMap(const MetaMap& map);
/// One member of that JSON, `"name":{"mtimeNs":…,"size":…}`, appended to `out`.
void appendMetaMember(std::string& out, std::string_view name, const MetaEntry& entry);
/// The decoded map, or nullopt when the text is not exactly that shape (one bad entry spoils the whole file).
std::optional<MetaMap> decodeMetaMap(std::string_view json);
/// Calls `onEntry` with every entry of meta-file text in file order and returns
/// true, or returns false exactly when decodeMetaMap gives nullopt. A path may
/// be reported more than once: the last report wins. On false, `onEntry` may
/// already have been called: the caller must drop what it was given.
bool forEachMetaEntry(std::string_view json,
                      const std::function<void(std::string_view path, const MetaEntry& entry)>& onEntry);
/// The decoded meta file at `path`; empty when it is missing, unreadable or damaged.
MetaMap loadPreviousMeta(const std::filesystem::path& path);

/// One journal line: a compact {"path":…,"mtimeNs":…,"size":…} object and a line feed.
std::string encodeJournalLine(std::string_view relativePath, const MetaEntry& entry);
/// The entries of a journal's text; a line that does not decode (one cut short by
/// a crash) is skipped. Later lines win.
MetaMap decodeJournal(std::string_view text);

/// Whether a file whose stamp is now `current` is unchanged since the run that
/// wrote `row` with `stamp`, so that row may be written again without
/// analysing the file: an "ok" row with the silence columns, a recorded stamp
/// equal to `current`, and a readable file (size not -1).
bool isUnchanged(const AnalyzeResult& row, const std::optional<MetaEntry>& stamp, const MetaEntry& current);

}  // namespace quellmark
