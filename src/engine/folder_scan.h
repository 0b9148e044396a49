#pragma once

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/job_error.h"

namespace quellmark {

/// The paths a scan found, in their sorted order. A large library is listed
/// once per run and held to its end, so the paths lie back to back in one
/// block, each followed by a NUL, in the order the walk met them; one string
/// per path would take half as much again, and std::filesystem::path, which
/// stores every component apart, five times as much.
class FileList {
public:
    std::size_t size() const { return m_order.size(); }
    bool empty() const { return m_order.empty(); }
    /// The exact bytes of the i-th path in sorted order, NUL-terminated in place.
    std::string_view operator[](std::size_t i) const { return {m_bytes.data() + m_order[i].start, m_order[i].length}; }
    /// The paths as strings, in order; for tests and small lists.
    std::vector<std::string> strings() const;

private:
    friend class FileListBuilder;
    struct Span {
        std::size_t start;
        std::size_t length;
    };
    std::string m_bytes;
    std::vector<Span> m_order;
};

/// What a run or a plan reports when the scan lists no file.
inline constexpr std::string_view kNoAudioFilesMessage = "対象となる音声ファイルが見つかりませんでした。";

/// Every regular file below `folder` (at any depth) whose lower-cased extension
/// is in `extensions`, sorted by the code points of its NFD path (invalid UTF-8
/// read as U+FFFD), then by raw bytes. Hidden entries (names beginning with ".")
/// and symbolic links are neither listed nor followed; unreadable subfolders are
/// skipped. Fails with "フォルダを読み取れませんでした: <folder>" when the folder
/// itself cannot be enumerated. Paths keep their exact bytes. When
/// `foldersWithResults` is given, it receives every folder below `folder` (not
/// `folder` itself) that holds an entry named "volume_gains.csv", found by the
/// same walk at no extra cost. Blocks; any thread.
Result<FileList> scanAudioFiles(const std::filesystem::path& folder, const std::set<std::string>& extensions,
                                std::vector<std::string>* foldersWithResults = nullptr);

}  // namespace quellmark
