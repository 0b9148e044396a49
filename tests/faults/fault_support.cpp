#include "faults/fault_support.h"

#include <fcntl.h>
#include <sys/stat.h>

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
    // Loudness and size change with the version, so a stale row is visible.
    const fs::path file = m_folder / path;
    writeFile(file, "QMFAKE\ntitle=" + fs::path(path).stem().string() + " v" + std::to_string(version) + "\nlufs=-" +
                        std::to_string(10 + (index + version) % 25) + "." + std::to_string(version % 10) +
                        "\nffmpeg_delay=" + std::to_string(m_delay) + "\n");
    // The clock's coarse tick could give two versions one stamp; every version
    // gets a time of its own instead, down to the nanosecond.
    static long long counter = 0;
    ++counter;
    const timespec time{1'600'000'000 + counter, (counter * 7919) % 1'000'000'000};
    const timespec times[2] = {time, time};
    if (::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) throw std::runtime_error("utimensat");
    stamps.push_back(fileStamp(file));
}

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
