#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/job_error.h"
#include "engine/result_log.h"
#include "output/analyze_result.h"
#include "output/meta_entry.h"
#include "settings/app_settings.h"

namespace quellmark {

class CSVWriter;

/// What analyzeFile needs from the run. The maps and the settings are shared
/// read-only by every file task; the callbacks hop to the main thread.
struct FileTaskContext {
    std::string folderPath;
    AppSettings settings;
    const PreviousRows* previousRows = nullptr;
    const MetaMap* previousMeta = nullptr;
    /// Relative paths that two or more listed files share: never carried over, no meta entry.
    const std::set<std::string>* ambiguousPaths = nullptr;
    /// Runs `fn` on the main thread and waits (the writer and the counters live there).
    std::function<void(std::function<void()>)> onMainThread;
    CSVWriter* writer = nullptr;
    /// Main-thread callbacks into the engine's published state.
    std::function<void(const std::string& fileName)> setCurrentFileName;
    /// A written row joins the run's results; `counted` rows advance the counts.
    std::function<void(ResultEntry entry, bool counted)> addRow;
};

/// One file of a run: carried over when unchanged, else probed and measured,
/// then written and counted. Fails only with the cancellation error (checked
/// first, and inside the writer) or the writer's error. `passedCancellationPoint`,
/// when given, is set once the first check has passed: the file's analysis began.
Result<void> analyzeFile(const std::filesystem::path& file, const FileTaskContext& context,
                         std::stop_token stop, bool* passedCancellationPoint = nullptr);

/// The previous row to write again for an unchanged file (current stamp `stamp`),
/// with its gain recomputed when it disagrees with the current target or clamp by
/// more than 0.1 dB; nullopt when the file must be analysed. Never for a path in
/// `ambiguousPaths`. Reads only the shared inputs; any thread.
std::optional<AnalyzeResult> carriedOverFor(const std::string& relativePath, const MetaEntry& stamp,
                                            const FileTaskContext& context);

/// The file's path relative to `folderPath` (byte prefix, then one "/" removed),
/// or its last component when it does not begin with the folder path. Bytes; the
/// caller repairs UTF-8 for the CSV.
std::string makeRelativePath(const std::filesystem::path& file, std::string_view folderPath);

/// The gain for `measuredLUFS`: target − loudness, clamped to ±clamp, rounded to
/// 0.1 half away from zero; 0 when the loudness is NaN.
double gainFor(double measuredLUFS, double targetLUFS, double clampDB);
/// round(x × 10) ÷ 10, halves away from zero; NaN and infinities unchanged.
double roundToTenth(double x);

}  // namespace quellmark
