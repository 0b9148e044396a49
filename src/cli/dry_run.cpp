#include "cli/dry_run.h"

#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/progress_line.h"
#include "engine/folder_scan.h"
#include "engine/run_plan.h"

namespace quellmark {

namespace {

void printGroup(const std::string& title, const std::vector<std::string>& paths, bool verbose) {
    printLine(stdout, title + std::to_string(paths.size()) + " 件");
    if (!verbose) return;
    for (const std::string& path : paths) printLine(stdout, "  " + printableText(path));
}

}  // namespace

int runDryRun(const CliCommand& command) {
    const auto plan = planRun(command.folder, command.settings);
    if (!plan) {
        printLine(stderr, plan.error().description());
        return kExitFailed;
    }
    if (plan->toAnalyse.empty() && plan->carriedOver.empty()) {
        printLine(stderr, kNoAudioFilesMessage);
        return kExitFailed;
    }
    printGroup("解析するファイル: ", plan->toAnalyse, command.verbose);
    printGroup("再解析しないファイル（変更なし）: ", plan->carriedOver, command.verbose);
    return kExitFinished;
}

}  // namespace quellmark
