// Folder scan against `find DIR -type f` over the same generated tree.
// Usage: scan_bench [repetitions]   (run by hand; prints medians and the ratio)
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/folder_scan.h"
#include "settings/app_settings.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFolders = 200;
constexpr int kFilesPerFolder = 100;

// 20 artists with 10 albums each; a tenth of the names carry accents, as real
// libraries do, so the normalisation of the sort key is part of what is timed.
void makeTree(const fs::path& root) {
    const char* extensions[] = {"mp3", "flac", "M4A", "wav", "jpg", "txt", "ogg", "cue", "opus", "log"};
    for (int folder = 0; folder < kFolders; ++folder) {
        const fs::path dir = root / ("Artist " + std::to_string(folder / 10)) / ("Album " + std::to_string(folder % 10));
        fs::create_directories(dir);
        for (int file = 0; file < kFilesPerFolder; ++file) {
            std::string name = std::to_string(file) + (file % 10 == 0 ? " Caf\xC3\xA9 " : " Track ");
            name += std::string("title.") + extensions[file % 10];
            std::ofstream(dir / name).put('x');
        }
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double timeFind(const fs::path& root, size_t& lines) {
    const std::string command = "find '" + root.string() + "' -type f";
    const auto start = Clock::now();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    lines = 0;
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) lines += std::count(buffer, buffer + got, '\n');
    ::pclose(pipe);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double timeScan(const fs::path& root, const std::set<std::string>& extensions, size_t& found) {
    const auto start = Clock::now();
    const auto result = quellmark::scanAudioFiles(root, extensions);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    found = result ? result->size() : 0;
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    std::string pattern = (fs::temp_directory_path() / "quellmark-scan-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const fs::path root = pattern;
    makeTree(root);
    const auto extensions = quellmark::AppSettings::defaultAudioExtensions();

    size_t findLines = 0, found = 0;
    timeFind(root, findLines);  // warm the caches for both
    timeScan(root, extensions, found);
    std::vector<double> findMs, scanMs;
    for (int i = 0; i < repetitions; ++i) {
        findMs.push_back(timeFind(root, findLines));
        scanMs.push_back(timeScan(root, extensions, found));
    }
    fs::remove_all(root);

    const double findMedian = median(findMs), scanMedian = median(scanMs);
    std::printf("tree: %d folders, %zu files (find), %zu audio files listed by the scan\n", kFolders, findLines,
                found);
    std::printf("find -type f : median %.2f ms over %d runs\n", findMedian, repetitions);
    std::printf("scanAudioFiles: median %.2f ms over %d runs\n", scanMedian, repetitions);
    std::printf("ratio scan/find: %.2f (target <= 2.0)\n", scanMedian / findMedian);
    return 0;
}
