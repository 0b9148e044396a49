#include "cli/end_summary.h"

#include "cli/progress_line.h"

namespace quellmark {

std::string failureSummaryText(const ResultLog& results) {
    std::string lines;
    std::size_t failures = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const ResultEntry& entry = results[i];
        if (entry.row->status == RowStatus::ok) continue;
        if (++failures > kListedFailures) continue;
        lines += "  " + printableText(entry.row->relative_path);
        if (!entry.reason.empty()) lines += ": " + printableText(entry.reason);
        lines += '\n';
    }
    if (failures == 0) return {};
    if (failures > kListedFailures) lines += "  …ほか " + std::to_string(failures - kListedFailures) + " 件\n";
    return "エラー " + std::to_string(failures) + " 件:\n" + lines;
}

}  // namespace quellmark
