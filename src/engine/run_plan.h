#pragma once
// What a run over a folder would do, worked out without doing it: which listed
// files it would analyse and which it would carry over from earlier runs.

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/job_error.h"
#include "engine/analyze_file.h"
#include "engine/previous_state.h"
#include "settings/app_settings.h"

namespace quellmark {

/// The listed files of a run, split by what the run would do with each. Both
/// lists hold relative-path texts as the CSV spells them, in list order.
struct RunPlan {
    std::vector<std::string> toAnalyse;
    std::vector<std::string> carriedOver;
};

/// What decides, for a run over `folder`, whether a listed file is carried over:
/// the file-task context without writer and callbacks, which the run adds. The
/// run and planRun both start from it, so they always decide alike. Points into
/// `ambiguousPaths`, which must outlive it.
FileTaskContext carryOverContext(const std::filesystem::path& folder, const AppSettings& settings,
                                 std::shared_ptr<PreviousResults> previous,
                                 std::shared_ptr<SubfolderResults> subfolders,
                                 const std::set<std::string>& ambiguousPaths);

/// Scans `folder` and reads its previous state and its subfolders' results
/// (when `settings.incremental`),
/// then decides each file with carriedOverFor over carryOverContext, as the
/// run does, so a run started now would analyse exactly `toAnalyse`. Reads only: creates,
/// locks (beyond the shared lock under which leftovers of a crashed run are
/// read) and changes nothing. Fails as the run's scan fails. Blocks; any thread.
Result<RunPlan> planRun(const std::filesystem::path& folder, const AppSettings& settings);

}  // namespace quellmark
