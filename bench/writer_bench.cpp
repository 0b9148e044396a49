// 100,000 rows with meta entries through CSVWriter, finish included. Run by
// hand; prints the total, the time of the first and of the last 10,000 rows
// (the cost per row must not grow with the run), and the ratio to plain
// write(2) calls of similar lines measured in the same run. Target: under 1 s.
#include "bench_clock.h"
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "output/csv_writer.h"

namespace fs = std::filesystem;
using namespace quellmark;

namespace {

constexpr int kRows = 100000;
constexpr int kSlice = 10000;

using bench::cpuSeconds;
using bench::secondsSince;

AnalyzeResult rowFor(int i) {
    const std::string path = "Artist " + std::to_string(i / 1000) + "/Album " + std::to_string(i / 12) + "/" +
                             std::to_string(i % 12 + 1) + " Track.flac";
    return {path, path.substr(path.rfind('/') + 1), "Title, with comma", "Artist", 180.5 + i % 300, -14.2, -0.5,
            -3.8, i % 50 ? RowStatus::ok : RowStatus::decodeFailed, 0.4, 1.2, true};
}

// One write(2) per line of the same length: what the writer cannot go below.
double baselineSeconds(const fs::path& dir) {
    const std::string line = csvLine(csvFields(rowFor(0))) + "\n";
    const int fd = ::open((dir / "baseline.csv").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const double cpu = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRows; ++i) {
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::exit(1);
    }
    ::fsync(fd);
    const double seconds = secondsSince(start);
    std::printf("baseline (write(2) only): %.3f s wall, %.3f s CPU\n", seconds, cpuSeconds() - cpu);
    ::close(fd);
    return seconds;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/quellmark-writer-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path dir = pattern;
    const double baseline = baselineSeconds(dir);

    CSVWriter writer(dir / "volume_gains.csv");
    const double cpu = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    if (!writer.begin()) return 1;
    double firstSlice = 0;
    auto sliceStart = start;
    for (int i = 0; i < kRows; ++i) {
        const AnalyzeResult row = rowFor(i);
        if (!writer.write(row, MetaEntry{i, 1700000000000000000ull + static_cast<std::uint64_t>(i)})) return 1;
        if (i + 1 == kSlice) firstSlice = secondsSince(sliceStart);
        if (i + 1 == kRows - kSlice) sliceStart = std::chrono::steady_clock::now();
    }
    const double lastSlice = secondsSince(sliceStart);
    const auto finishStart = std::chrono::steady_clock::now();
    if (!writer.finish()) return 1;
    const double finishSeconds = secondsSince(finishStart);
    const double total = secondsSince(start);
    const double totalCpu = cpuSeconds() - cpu;

    std::printf("writer, finish included:  %.3f s wall, %.3f s CPU (%.1fx baseline; target < 1 s)\n", total,
                totalCpu, total / baseline);
    std::printf("first %d rows:         %.3f s\n", kSlice, firstSlice);
    std::printf("last %d rows:          %.3f s (%.2fx the first)\n", kSlice, lastSlice, lastSlice / firstSlice);
    std::printf("finish:                   %.3f s\n", finishSeconds);
    fs::remove_all(dir);
    return 0;
}
