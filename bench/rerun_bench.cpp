// How long an incremental rerun over a large unchanged library takes, and
// how much memory it needs. Run by hand: build/rerun_bench [DATA_DIR].
//
// For each library size a folder of small stand-in audio files is created
// once and measured once with the stand-in tools of tests/tools (slow: two
// tool starts per file); the folders stay under DATA_DIR (default: beside
// the executable) for later runs. Each rerun happens in a fresh child
// process, so its peak memory is its own. The baseline is the bare folder
// scan of the same library in the same child: the rerun costs that plus the
// carry-over of every row.
//
// The rerun's time is then split, in the same child, into the parts that
// bound it: the main-thread hops (counted and timed around the real run), the
// work done on the main thread in them (writer, finish, published changes),
// and, each alone on one thread, the loading of the previous state, the stamp
// reads with the carry-over test, and the writer over the same rows.
#include <sys/resource.h>
#include <stdlib.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "engine/analysis_engine.h"
#include "engine/analyze_file.h"
#include "engine/folder_scan.h"
#include "engine/main_thread.h"
#include "engine/previous_state.h"
#include "base/text.h"
#include "media/process_runner.h"
#include "output/csv_writer.h"
#include "settings/app_settings.h"

namespace fs = std::filesystem;
using namespace quellmark;

namespace {

constexpr int kFilesPerFolder = 100;
const std::int64_t kSizes[] = {5000, 20000};

fs::path toolsDir() { return fs::path(__FILE__).parent_path().parent_path() / "tests" / "tools"; }

std::string number(double value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    return std::string(buffer, end);
}

double parseNumber(const std::string& text, const std::string& key) {
    const auto at = text.find(key + "=");
    if (at == std::string::npos) return -1;
    double value = -1;
    const char* first = text.data() + at + key.size() + 1;
    std::from_chars(first, text.data() + text.size(), value);
    return value;
}

AppSettings benchSettings() {
    AppSettings settings;
    settings.ffmpegPath = (toolsDir() / "ffmpeg").string();
    settings.incremental = true;
    return settings;
}

/// A SerialQueue that counts its hops and times them: from the caller's
/// side (hand-off, wait and work) and the work alone on the serving thread.
class TimedQueue final : public MainThread {
public:
    void runAndWait(std::function<void()> fn) override {
        const auto called = std::chrono::steady_clock::now();
        m_queue.runAndWait([&] {
            const auto started = std::chrono::steady_clock::now();
            fn();
            m_workNs += elapsedNs(started);
        });
        m_callerNs += elapsedNs(called);
        ++m_hops;
    }
    SerialQueue& queue() { return m_queue; }
    long hops() const { return m_hops; }
    double workSeconds() const { return double(m_workNs) / 1e9; }
    double callerSeconds() const { return double(m_callerNs) / 1e9; }

private:
    static long elapsedNs(std::chrono::steady_clock::time_point since) {
        return long(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - since)
                        .count());
    }
    SerialQueue m_queue;
    std::atomic<long> m_hops{0}, m_workNs{0}, m_callerNs{0};
};

State runOnce(const fs::path& folder, const AppSettings& settings, std::shared_ptr<TimedQueue> timed = nullptr) {
    if (!timed) timed = std::make_shared<TimedQueue>();
    auto engine = AnalysisEngine::create(timed);
    engine->start(folder, settings);
    timed->queue().serveUntil([&] { return engine->snapshot().state != State::running; });
    return engine->snapshot().state;
}

/// The stamp reads and carry-over tests of every file, then the writer over
/// the rows they gave, each on this thread alone.
void printAloneParts(const fs::path& folder, const std::vector<fs::path>& files) {
    auto start = std::chrono::steady_clock::now();
    PreviousState previous = loadPreviousState(folder);
    const double loadSeconds = bench::secondsSince(start);

    FileTaskContext context;
    context.folderPath = folder.native();
    context.settings = benchSettings();
    context.previousRows = &previous.rows;
    context.previousMeta = &previous.meta;
    std::vector<std::pair<AnalyzeResult, MetaEntry>> rows;
    rows.reserve(files.size());
    start = std::chrono::steady_clock::now();
    for (const auto& file : files) {
        const MetaEntry stamp = fileStamp(file);
        if (auto row = carriedOverFor(repairUtf8(makeRelativePath(file, context.folderPath)), stamp, context)) {
            rows.emplace_back(std::move(*row), stamp);
        }
    }
    const double stampSeconds = bench::secondsSince(start);

    const fs::path scratch = folder.parent_path() / (folder.filename().string() + "-writer");
    fs::remove_all(scratch);
    start = std::chrono::steady_clock::now();
    {
        CSVWriter writer(scratch / "volume_gains.csv");
        bool ok = bool(writer.begin());
        for (const auto& [row, stamp] : rows) ok = ok && writer.write(row, stamp);
        ok = ok && writer.finish();
        if (!ok) std::printf("split: the writer alone failed\n");
    }
    const double writerSeconds = bench::secondsSince(start);
    fs::remove_all(scratch);
    std::printf("split:   alone: previous state %ss, stamp reads and carry-over test %ss, writer %ss (%zu rows)\n",
                number(loadSeconds).c_str(), number(stampSeconds).c_str(), number(writerSeconds).c_str(),
                rows.size());
}

int prepare(const fs::path& folder, std::int64_t files) {
    for (std::int64_t i = 0; i < files; ++i) {
        const fs::path sub = folder / ("album" + std::to_string(i / kFilesPerFolder));
        if (i % kFilesPerFolder == 0) fs::create_directories(sub);
        std::ofstream(sub / ("track" + std::to_string(i) + ".mp3"))
            << "QMFAKE\nlufs=-" << (10 + i % 20) << "\ntitle=Track " << i << "\n";
    }
    AppSettings settings = benchSettings();
    settings.parallelism = 4;
    return runOnce(folder, settings) == State::finished ? 0 : 1;
}

int rerun(const fs::path& folder, const fs::path& log) {
    setenv("QM_FAKE_LOG", log.c_str(), 1);
    std::ofstream(log, std::ios::trunc);

    const auto scanStart = std::chrono::steady_clock::now();
    auto scanned = scanAudioFiles(folder, AppSettings::defaultAudioExtensions());
    const double scanSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - scanStart).count();
    if (!scanned) return 1;

    auto timed = std::make_shared<TimedQueue>();
    const auto start = std::chrono::steady_clock::now();
    const State state = runOnce(folder, benchSettings(), timed);
    const double seconds = bench::secondsSince(start);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("state=%d files=%zu scan=%s rerun=%s maxrss_kb=%ld tool_log_bytes=%s\n", static_cast<int>(state),
                scanned->size(), number(scanSeconds).c_str(), number(seconds).c_str(), usage.ru_maxrss,
                std::to_string(fs::file_size(log)).c_str());
    // Hops overlap with the workers' stamp reads, so the parts need not add up.
    std::printf("split:   in the run: %ld main-thread hops; main-thread work in them %ss; callers' time in them"
                " beyond that work %ss (summed over the workers)\n",
                timed->hops(), number(timed->workSeconds()).c_str(),
                number(timed->callerSeconds() - timed->workSeconds()).c_str());
    printAloneParts(folder, *scanned);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--prepare") return prepare(argv[2], std::stoll(argv[3]));
    if (argc == 4 && std::string(argv[1]) == "--rerun") return rerun(argv[2], argv[3]);

    const fs::path self = fs::canonical("/proc/self/exe");
    const fs::path dataDir = argc > 1 ? fs::path(argv[1]) : self.parent_path() / "bench-data";
    std::printf("%-8s %10s %10s %12s %10s %s\n", "files", "scan s", "rerun s", "rerun/scan", "peak MB", "tool runs");
    double smallest = 0;
    bool carriedEverything = true;
    for (std::int64_t size : kSizes) {
        const fs::path folder = dataDir / ("rerun-" + std::to_string(size));
        if (!fs::exists(folder / "volume_gains.csv.meta.json")) {
            std::fprintf(stderr, "preparing %s (two stand-in tool runs per file; this takes a while)\n", folder.c_str());
            auto prepared = runProcess(self, {"--prepare", folder.string(), std::to_string(size)}, 3 * 3600.0);
            if (!prepared) {
                std::fprintf(stderr, "preparation failed: %s\n", prepared.error().description().c_str());
                return 1;
            }
        }
        auto measured = runProcess(self, {"--rerun", folder.string(), (dataDir / "tool.log").string()}, 600.0);
        if (!measured) {
            std::fprintf(stderr, "rerun failed: %s\n", measured.error().description().c_str());
            return 1;
        }
        const std::string& out = measured->stdoutText;
        std::string split;
        for (std::size_t at = out.find("split:"); at != std::string::npos; at = out.find("split:", at + 1)) {
            split += "        " + out.substr(at + 6, out.find('\n', at) - at - 6) + "\n";
        }
        const double scan = parseNumber(out, "scan");
        const double rerunSeconds = parseNumber(out, "rerun");
        const double peakMb = parseNumber(out, "maxrss_kb") / 1024;
        const double toolLogBytes = parseNumber(out, "tool_log_bytes");
        if (smallest == 0) smallest = rerunSeconds;
        carriedEverything = carriedEverything && toolLogBytes == 0 && parseNumber(out, "state") == 2;
        std::printf("%-8lld %10s %10s %12s %10s %s   (time vs %lld files: x%s)\n", static_cast<long long>(size),
                    number(scan).c_str(), number(rerunSeconds).c_str(), number(rerunSeconds / scan).c_str(),
                    number(peakMb).c_str(), toolLogBytes == 0 ? "0" : "SOME (carry-over failed)",
                    static_cast<long long>(kSizes[0]), number(rerunSeconds / smallest).c_str());
        std::printf("%s", split.c_str());
    }
    std::printf("targets: 20000-file rerun <= 0.5 s, peak < 100 MB, no tool run\n");
    return carriedEverything ? 0 : 1;
}
