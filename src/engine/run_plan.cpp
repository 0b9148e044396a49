#include "engine/run_plan.h"

#include "base/text.h"
#include "engine/folder_scan.h"

namespace quellmark {

FileTaskContext carryOverContext(const std::filesystem::path& folder, const AppSettings& settings,
                                 std::shared_ptr<PreviousResults> previous,
                                 std::shared_ptr<SubfolderResults> subfolders,
                                 const std::set<std::string>& ambiguousPaths) {
    FileTaskContext context;
    context.folderPath = folder.native();
    context.settings = settings;
    context.previous = std::move(previous);
    context.subfolders = std::move(subfolders);
    context.ambiguousPaths = &ambiguousPaths;
    return context;
}

Result<RunPlan> planRun(const std::filesystem::path& folder, const AppSettings& settings) {
    std::vector<std::string> foldersWithResults;
    auto files = scanAudioFiles(folder, settings.audioExtensions, &foldersWithResults);
    if (!files) return fail(files.error());
    std::shared_ptr<PreviousResults> previous;
    std::shared_ptr<SubfolderResults> subfolders;
    if (settings.incremental && !files->empty()) {
        previous = std::make_shared<PreviousResults>(loadPreviousState(folder));
        if (!foldersWithResults.empty()) {
            subfolders = std::make_shared<SubfolderResults>(folder.native(), foldersWithResults);
        }
    }
    const std::set<std::string> ambiguousPaths = sharedRelativePaths(*files, folder.native());
    const FileTaskContext context = carryOverContext(folder, settings, previous, subfolders, ambiguousPaths);

    // Deciding may update the entries it takes (gains, adopted paths); these
    // are the plan's own copies, dropped with it.
    RunPlan plan;
    for (std::size_t i = 0; i < files->size(); ++i) {
        const std::string_view file = (*files)[i];
        std::string relativePath = repairUtf8(makeRelativePath(file, context.folderPath));
        if (carriedOverFor(relativePath, fileStamp(std::string(file)), context)) {
            plan.carriedOver.push_back(std::move(relativePath));
        } else {
            plan.toAnalyse.push_back(std::move(relativePath));
        }
    }
    return plan;
}

}  // namespace quellmark
