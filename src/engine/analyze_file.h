#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/job_error.h"
#include "engine/folder_scan.h"
#include "engine/result_log.h"
#include "output/analyze_result.h"
#include "output/meta_entry.h"
#include "engine/subfolder_results.h"
#include "output/previous_results.h"
#include "settings/app_settings.h"

namespace quellmark {

class CSVWriter;

/// What analyzeFile needs from the run. The settings are shared read-only by
/// every file task; the callbacks hop to the main thread.
struct FileTaskContext {
    std::string folderPath;
    AppSettings settings;
    /// The folder's previous results (null in a full run). Each file task reads
    /// the whole index but touches only the entry of its own file's path.
    std::shared_ptr<PreviousResults> previous;
    /// What subfolders measured on their own (null when none holds results, and
    /// in a full run): a file the folder's own results cannot carry over may be
    /// adopted from there.
    std::shared_ptr<SubfolderResults> subfolders;
    /// Relative paths that two or more listed files share: never carried over, no meta entry.
    const std::set<std::string>* ambiguousPaths = nullptr;
    /// Runs `fn` on the main thread and waits (the writer and the counters live there).
    std::function<void(std::function<void()>)> onMainThread;
    CSVWriter* writer = nullptr;
    /// Main-thread callbacks into the engine's published state.
    std::function<void(const std::string& fileName)> setCurrentFileName;
    /// Written rows join the run's results; `counted` rows advance the counts.
    std::function<void(std::span<ResultEntry> entries, bool counted)> addRows;
};

/// One file of a run: carried over when unchanged, else probed and measured,
/// then written and counted. Fails only with the cancellation error (checked
/// first, and inside the writer) or the writer's error. `passedCancellationPoint`,
/// when given, is set once the first check has passed: the file's analysis began.
Result<void> analyzeFile(const std::filesystem::path& file, const FileTaskContext& context,
                         std::stop_token stop, bool* passedCancellationPoint = nullptr);

/// A row written again without analysing its file.
struct CarriedOver {
    std::shared_ptr<const AnalyzeResult> row;
    RowOrigin origin = RowOrigin::carried;
};

/// The previous row to write again for an unchanged file (current stamp `stamp`):
/// the folder's own row, else one adopted from the nearest subfolder whose
/// results carry the file over (its path rewritten below the run's folder);
/// with its gain recomputed when it disagrees with the current target or clamp
/// by more than 0.1 dB. Nullopt when the file must be analysed. Never for a path
/// in `ambiguousPaths`. The row is shared with the results it comes from, whose
/// entry for this file it updates: call it once per file, from the file's task.
std::optional<CarriedOver> carriedOverFor(const std::string& relativePath, const MetaEntry& stamp,
                                          const FileTaskContext& context);

/// The file's path relative to `folderPath` (byte prefix, then one "/" removed),
/// or its last component when it does not begin with the folder path. Bytes; the
/// caller repairs UTF-8 for the CSV.
std::string makeRelativePath(std::string_view file, std::string_view folderPath);

/// The relative-path texts (UTF-8 repaired, as in the CSV) that two or more of
/// `files` share: the `ambiguousPaths` of a run over `folderPath`.
std::set<std::string> sharedRelativePaths(const FileList& files, std::string_view folderPath);

/// The gain for `measuredLUFS`: target − loudness, clamped to ±clamp, rounded to
/// 0.1 half away from zero; 0 when the loudness is NaN.
double gainFor(double measuredLUFS, double targetLUFS, double clampDB);
/// round(x × 10) ÷ 10, halves away from zero; NaN and infinities unchanged.
double roundToTenth(double x);

}  // namespace quellmark
