#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/job_error.h"

namespace quellmark {

/// Every regular file below `folder` (at any depth) whose lower-cased extension
/// is in `extensions`, sorted by the code points of its NFD path (invalid UTF-8
/// read as U+FFFD), then by raw bytes. Hidden entries (names beginning with ".")
/// and symbolic links are neither listed nor followed; unreadable subfolders are
/// skipped. Fails with "フォルダを読み取れませんでした: <folder>" when the folder
/// itself cannot be enumerated. Paths keep their exact bytes (plain strings: a
/// library of 200,000 files would take five times the memory as
/// std::filesystem::path, which stores every component apart). When
/// `foldersWithResults` is given, it receives every folder below `folder` (not
/// `folder` itself) that holds an entry named "volume_gains.csv", found by the
/// same walk at no extra cost. Blocks; any thread.
Result<std::vector<std::string>> scanAudioFiles(const std::filesystem::path& folder,
                                                const std::set<std::string>& extensions,
                                                std::vector<std::string>* foldersWithResults = nullptr);

}  // namespace quellmark
