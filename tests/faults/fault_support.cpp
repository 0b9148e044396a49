#include "faults/fault_support.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "output/analyze_result.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace quellmark::test {

FakeLibrary::FakeLibrary(fs::path folder, int count, double ffmpegDelaySeconds)
    : m_folder(std::move(folder)), m_delay(ffmpegDelaySeconds) {
    for (int i = 0; i < count; ++i) {
        const std::string name = "f" + std::to_string(i) + ".flac";
        m_paths.push_back(i % 10 == 9 ? "sub/" + name : name);
        rewrite(i);
    }
}

void FakeLibrary::rewrite(int index) {
    const std::string& path = m_paths.at(static_cast<size_t>(index));
    auto& stamps = m_stamps[path];
    const int version = static_cast<int>(stamps.size());
    const std::string name = fs::path(path).stem().string();
    // Loudness and size change with the version, so a stale row is visible.
    const std::string lufs = "-" + std::to_string(10 + (index + version) % 25) + "." + std::to_string(version % 10);
    std::string text = "QMFAKE\ntitle=" + name + " v" + std::to_string(version) + "\nlufs=" + lufs + "\n";
    if (m_delay > 0) text += "ffmpeg_delay=" + std::to_string(m_delay) + "\n";
    const fs::path file = m_folder / path;
    writeFile(file, text);
    // The clock's coarse tick could give two versions one stamp; every version
    // gets a time of its own instead, down to the nanosecond.
    static long long counter = 0;
    ++counter;
    const timespec times[2] = {{1'600'000'000 + counter, (counter * 7919) % 1'000'000'000},
                               {1'600'000'000 + counter, (counter * 7919) % 1'000'000'000}};
    if (::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) throw std::runtime_error("utimensat");
    stamps.push_back(fileStamp(file));
}

std::optional<MetaEntry> FakeLibrary::stampOf(const std::string& relativePath, int version) const {
    const auto found = m_stamps.find(relativePath);
    if (found == m_stamps.end() || version < 0 || version >= static_cast<int>(found->second.size())) return {};
    return found->second[static_cast<size_t>(version)];
}

int FakeLibrary::currentVersion(const std::string& relativePath) const {
    return static_cast<int>(m_stamps.at(relativePath).size()) - 1;
}

int versionInTitle(const std::string& title) {
    const size_t mark = title.rfind(" v");
    int version = -1;
    if (mark != std::string::npos) std::from_chars(title.data() + mark + 2, title.data() + title.size(), version);
    return version;
}

StrictCsv readStrictCsv(const fs::path& csvFile) {
    StrictCsv csv;
    if (!fs::exists(csvFile)) {
        csv.problem = "missing";
        return csv;
    }
    const std::string text = readFile(csvFile);
    const std::string header = csvLine(csvHeader()) + "\n";
    if (!text.starts_with(header)) csv.problem = "header";
    if (!text.empty() && text.back() != '\n') csv.problem = "last line cut";
    size_t start = header.size();
    while (csv.problem.empty() && start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::vector<std::string> fields = parseCSVLine(std::string_view(text).substr(start, end - start));
        if (fields.size() != 11) csv.problem = "line of " + std::to_string(fields.size()) + " fields";
        else if (!csv.rows.emplace(fields[0], fields).second) csv.problem = "two rows for " + fields[0];
        start = end + 1;
    }
    return csv;
}

std::vector<std::string> sortedDataLines(const std::string& csvText) {
    std::vector<std::string> lines;
    size_t start = csvText.find('\n');
    while (start != std::string::npos && start + 1 < csvText.size()) {
        const size_t end = csvText.find('\n', start + 1);
        lines.push_back(csvText.substr(start + 1, end - start - 1));
        start = end;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::multiset<std::string> toolRuns(const fs::path& log, const std::string& tool) {
    std::multiset<std::string> files;
    const std::string text = readFile(log);
    const std::string prefix = tool + " start ";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = std::string_view(text).substr(start, end - start);
        if (line.starts_with(prefix)) {
            // "<tool> start <time> <pid> <file>": the file is everything after the fourth field.
            size_t at = prefix.size();
            for (int field = 0; field < 2 && at != std::string_view::npos; ++field) at = line.find(' ', at) + 1;
            files.insert(std::string(line.substr(at)));
        }
        start = end + 1;
    }
    return files;
}

std::map<std::string, std::string> cliEnvironment(const fs::path& configHome, const fs::path& log) {
    return {{"XDG_CONFIG_HOME", configHome.string()}, {"QM_FAKE_LOG", log.string()}, {"LC_ALL", "C.UTF-8"}};
}

std::vector<std::string> cliArguments(const fs::path& folder, bool full, int jobs) {
    return {"--ffmpeg", fs::path(QUELLMARK_TEST_TOOLS_DIR "/ffmpeg").string(), "--jobs", std::to_string(jobs),
            full ? "--full" : "--incremental", folder.string()};
}

}  // namespace quellmark::test
