// Resuming after a crash near the end of a run over a large library: a
// 100,000-row volume_gains.csv.tmp with its 100,000-line journal. Run by hand;
// prints the resume's time and its ratio to the baseline measured in the same
// run: loading the same rows as an installed CSV plus decoding the journal.
// Target: the resume costs at most about 1.5 times the baseline.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "output/analyze_result.h"
#include "base/file_descriptor.h"
#include "output/meta_entry.h"
#include "output/resume_state.h"

namespace fs = std::filesystem;
using namespace quellmark;

namespace {

constexpr int kRows = 100000;
constexpr int kRounds = 7;

void writeBytes(const fs::path& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

template <class Work>
double secondsOf(Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    char pattern[] = "/tmp/quellmark-resume-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path dir = pattern;
    std::string csv = csvLine(std::vector<std::string>(csvHeader().begin(), csvHeader().end())) + "\n";
    std::string journal;
    for (int i = 0; i < kRows; ++i) {
        const std::string path = "Artist " + std::to_string(i / 1000) + "/Album " + std::to_string(i / 12) + "/" +
                                 std::to_string(i % 12 + 1) + " Track.flac";
        const AnalyzeResult row{path, "Track.flac", "Title, with comma", "Artist", 180.5, -14.2, -0.5, -3.8, RowStatus::ok,
                                0.4,  1.2,          true};
        csv += csvLine(csvFields(row)) + "\n";
        journal += encodeJournalLine(path, MetaEntry{1000000 + i, 1700000000123456789ull + static_cast<unsigned>(i)});
    }
    writeBytes(dir / "volume_gains.csv.tmp", csv);
    writeBytes(dir / "volume_gains.csv.meta.journal", journal);
    writeBytes(dir / "installed.csv", csv);

    size_t baselineCount = 0;
    size_t resumedCount = 0;
    // Alternating rounds, best of each: the machine is shared and noisy.
    double baseline = 1e9;
    double resume = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        baseline = std::min(baseline, secondsOf([&] {
            baselineCount = loadPreviousRows(dir / "installed.csv").size() +
                            decodeJournal(*readWholeFile(dir / "volume_gains.csv.meta.journal")).size();
        }));
        resume = std::min(resume, secondsOf([&] { resumedCount = loadResumableLeftovers(dir).rows.size(); }));
    }
    std::printf("baseline (load rows + decode journal): %.3f s (%zu)\n", baseline, baselineCount);
    std::printf("loadResumableLeftovers:                %.3f s (%zu rows), ratio %.2f\n", resume, resumedCount,
                resume / baseline);
    fs::remove_all(dir);
    return resumedCount == static_cast<size_t>(kRows) ? 0 : 1;
}
