#include "faults/fault_support.h"

#include "output/analyze_result.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace quellmark::test {

StrictCsv readStrictCsv(const fs::path& csvFile) {
    StrictCsv csv;
    const std::string text = readFile(csvFile);
    const std::string header = csvLine(csvHeader()) + "\n";
    if (!text.starts_with(header)) csv.problem = "header";
    if (!text.empty() && text.back() != '\n') csv.problem = "last line cut";
    for (size_t start = header.size(); csv.problem.empty() && start < text.size();) {
        const size_t end = text.find('\n', start);
        const std::vector<std::string> fields = parseCSVLine(std::string_view(text).substr(start, end - start));
        if (fields.size() != 11) csv.problem = "line of " + std::to_string(fields.size()) + " fields";
        else if (!csv.rows.emplace(fields[0], fields).second) csv.problem = "two rows for " + fields[0];
        start = end + 1;
    }
    return csv;
}

std::map<std::string, std::string> cliEnvironment(const fs::path& dir) {
    return {{"XDG_CONFIG_HOME", (dir / "config").string()}, {"QM_FAKE_LOG", (dir / "tools.log").string()},
            {"LC_ALL", "C.UTF-8"}};
}

std::vector<std::string> cliArguments(const fs::path& folder, bool full) {
    return {"--ffmpeg", QUELLMARK_TEST_TOOLS_DIR "/ffmpeg", "--jobs", "2", full ? "--full" : "--incremental",
            folder.string()};
}

}  // namespace quellmark::test
