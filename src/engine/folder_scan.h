#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/job_error.h"

namespace quellmark {

/// What a run or a plan reports when the scan lists no file.
inline constexpr std::string_view kNoAudioFilesMessage = "対象となる音声ファイルが見つかりませんでした。";

/// Every regular file below `folder` (at any depth) whose lower-cased extension
/// is in `extensions`, sorted by the code points of its NFD path (invalid UTF-8
/// read as U+FFFD), then by raw bytes. Hidden entries (names beginning with ".")
/// and symbolic links are neither listed nor followed; unreadable subfolders are
/// skipped. Fails with "フォルダを読み取れませんでした: <folder>" when the folder
/// itself cannot be enumerated. Paths keep their exact bytes. Blocks; any thread.
Result<std::vector<std::filesystem::path>> scanAudioFiles(const std::filesystem::path& folder,
                                                          const std::set<std::string>& extensions);

}  // namespace quellmark
