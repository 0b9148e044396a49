// Loading the previous state of a large library: a 100,000-row volume_gains.csv
// and a 100,000-entry meta file. Run by hand; prints wall times, the ratio to a
// plain read of the same bytes measured in the same run, and the peak RSS.
// Targets: both loads together under 0.5 s, peak RSS under 100 MB.
#include "bench_clock.h"
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "output/analyze_result.h"
#include "base/file_descriptor.h"
#include "output/meta_entry.h"

namespace fs = std::filesystem;
using namespace quellmark;

namespace {

constexpr int kRows = 100000;

std::string relativePath(int i) {
    // A realistic spread: artist / album / track, a few names with Japanese text.
    std::string path = "Artist " + std::to_string(i / 1000) + "/Album " + std::to_string(i / 12) + "/";
    path += (i % 7 == 0) ? "第" + std::to_string(i % 12 + 1) + "曲 夜明けの歌.flac" : std::to_string(i % 12 + 1) + " Track.flac";
    return path;
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

void generate(const fs::path& csv, const fs::path& meta) {
    std::string text = csvLine(std::vector<std::string>(csvHeader().begin(), csvHeader().end())) + "\n";
    MetaMap map;
    for (int i = 0; i < kRows; ++i) {
        const std::string path = relativePath(i);
        AnalyzeResult r{path, path.substr(path.rfind('/') + 1), i % 5 ? "Title, with comma" : "Plain", "Artist",
                        180.5 + i % 300, -14.2 - i % 20, -0.5, -3.8, RowStatus::ok, 0.4, 1.2, true};
        text += csvLine(csvFields(r));
        text += '\n';
        map.emplace(path, MetaEntry{1000000 + i, 1700000000123456789ull + static_cast<std::uint64_t>(i)});
    }
    writeBytes(csv, text);
    writeBytes(meta, encodeMetaMap(map));
}

using bench::cpuSeconds;
using bench::secondsSince;

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/quellmark-load-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path dir = pattern;
    const fs::path csv = dir / "volume_gains.csv";
    const fs::path meta = dir / "volume_gains.csv.meta.json";
    generate(csv, meta);
    const long rssBefore = peakRssKiB();

    // Baseline: reading the same bytes and nothing else.
    auto start = std::chrono::steady_clock::now();
    size_t bytes = readWholeFile(csv)->size() + readWholeFile(meta)->size();
    const double baseline = secondsSince(start);

    double cpu = cpuSeconds();
    start = std::chrono::steady_clock::now();
    const PreviousRows rows = loadPreviousRows(csv);
    const double rowsSeconds = secondsSince(start);
    const double rowsCpu = cpuSeconds() - cpu;
    cpu = cpuSeconds();
    start = std::chrono::steady_clock::now();
    const MetaMap entries = loadPreviousMeta(meta);
    const double metaSeconds = secondsSince(start);
    const double metaCpu = cpuSeconds() - cpu;
    const long rssAfter = peakRssKiB();

    std::printf("files: %zu bytes, %zu rows, %zu meta entries\n", bytes, rows.size(), entries.size());
    std::printf("baseline read:     %.3f s\n", baseline);
    std::printf("loadPreviousRows:  %.3f s wall, %.3f s CPU (%.1fx baseline)\n", rowsSeconds, rowsCpu,
                rowsSeconds / baseline);
    std::printf("loadPreviousMeta:  %.3f s wall, %.3f s CPU (%.1fx baseline)\n", metaSeconds, metaCpu,
                metaSeconds / baseline);
    std::printf("together:          %.3f s wall, %.3f s CPU (target < 0.5 s)\n", rowsSeconds + metaSeconds,
                rowsCpu + metaCpu);
    std::printf("peak RSS:          %.1f MB (%.1f MB before loading; target < 100 MB)\n", rssAfter / 1024.0,
                rssBefore / 1024.0);
    fs::remove_all(dir);
    return rows.size() == kRows && entries.size() == kRows ? 0 : 1;
}
