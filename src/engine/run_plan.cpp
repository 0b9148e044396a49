#include "engine/run_plan.h"

#include "base/text.h"
#include "engine/folder_scan.h"

namespace quellmark {

FileTaskContext carryOverContext(const std::filesystem::path& folder, const AppSettings& settings,
                                 const PreviousState& previous, const std::set<std::string>& ambiguousPaths) {
    FileTaskContext context;
    context.folderPath = folder.native();
    context.settings = settings;
    context.previousRows = &previous.rows;
    context.previousMeta = &previous.meta;
    context.ambiguousPaths = &ambiguousPaths;
    return context;
}

Result<RunPlan> planRun(const std::filesystem::path& folder, const AppSettings& settings) {
    auto files = scanAudioFiles(folder, settings.audioExtensions);
    if (!files) return fail(files.error());
    PreviousState previous;
    if (settings.incremental && !files->empty()) previous = loadPreviousState(folder);
    const std::set<std::string> ambiguousPaths = sharedRelativePaths(*files, folder.native());
    const FileTaskContext context = carryOverContext(folder, settings, previous, ambiguousPaths);

    RunPlan plan;
    for (const auto& file : *files) {
        std::string relativePath = repairUtf8(makeRelativePath(file, context.folderPath));
        if (carriedOverFor(relativePath, fileStamp(file), context)) {
            plan.carriedOver.push_back(std::move(relativePath));
        } else {
            plan.toAnalyse.push_back(std::move(relativePath));
        }
    }
    return plan;
}

}  // namespace quellmark
