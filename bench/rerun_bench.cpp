// How long an incremental rerun over a large unchanged library takes, and how
// much memory it needs, measured on `quellmark-cli` itself. Run by hand:
//   build/rerun_bench [--adopt] [--against OTHER_CLI] [DATA_DIR]
//
// Each library is a folder of small stand-in audio files (tests/tools reads
// them), 1,000 files in each of N/1,000 subfolders, created once under
// DATA_DIR (default: beside the executable). Its results are written directly
// with the CSV writer from the files' own stamps, as a run that measured them
// would have left them, so even 200,000 files take seconds to prepare. Every
// run is `quellmark-cli --quiet FOLDER` in a child process of its own, so its
// peak memory is its own; a run that starts a tool fails the benchmark.
//
//  plain     the results lie at the top of the library (one CSV): the rerun
//            carries every row over;
//  --adopt   also: the same library whose results lie only in its subfolders,
//            each with its own CSV (as when every subfolder was measured on its
//            own, perhaps on another machine): the first run at the top adopts
//            every row, the second carries them over like the plain rerun.
//  --against also: the plain rerun with another quellmark-cli (an earlier
//            build, say), round for round with this one, and the ratios.
//
// The in-process split (where the plain rerun's time goes) follows each size.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "bench_clock.h"
#include "engine/analysis_engine.h"
#include "engine/folder_scan.h"
#include "engine/main_thread.h"
#include "engine/previous_state.h"
#include "media/process_runner.h"
#include "output/csv_writer.h"
#include "settings/app_settings.h"

namespace fs = std::filesystem;
using namespace quellmark;

namespace {

constexpr std::int64_t kFilesPerFolder = 1000;
const std::int64_t kSizes[] = {20000, 200000};
constexpr int kRounds = 3;

fs::path toolsDir() { return fs::path(__FILE__).parent_path().parent_path() / "tests" / "tools"; }

std::string fixed(double value, int decimals = 3) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, end);
}

double valueAfter(const std::string& text, const std::string& key) {
    const auto at = text.find(key + "=");
    if (at == std::string::npos) return -1;
    double value = -1;
    std::from_chars(text.data() + at + key.size() + 1, text.data() + text.size(), value);
    return value;
}

std::string folderName(std::int64_t index) { return "disc" + std::to_string(index / kFilesPerFolder); }

/// The row a run over the stand-in file `index` would have written.
AnalyzeResult rowFor(std::int64_t index, const std::string& relativePath) {
    AnalyzeResult row;
    row.relative_path = relativePath;
    row.file_name = "track" + std::to_string(index) + ".mp3";
    row.title = "Track " + std::to_string(index);
    row.artist = "Artist " + std::to_string(index % 97);
    row.duration_sec = 180.5 + double(index % 300);
    row.measured_lufs = -(10 + double(index % 20));
    row.true_peak_dbfs = -1;
    row.gain_db = -18 - row.measured_lufs;
    row.status = RowStatus::ok;
    row.leading_silence_sec = 0.3;
    row.trailing_silence_sec = 1.2;
    return row;
}

/// Writes the results of the files `first`..`last` of `library` into `folder`
/// (the top or one subfolder), keyed relative to it.
bool writeResults(const fs::path& library, const fs::path& folder, std::int64_t first, std::int64_t last) {
    CSVWriter writer(folder / "volume_gains.csv");
    if (!writer.begin()) return false;
    const std::string prefix = folder.native() + "/";
    for (std::int64_t i = first; i < last; ++i) {
        const fs::path file = library / folderName(i) / ("track" + std::to_string(i) + ".mp3");
        const std::string relative = file.native().substr(prefix.size());
        if (!writer.write(rowFor(i, relative), fileStamp(file))) return false;
    }
    return bool(writer.finish());
}

int prepare(const fs::path& library, std::int64_t count, bool withSubfolderResults) {
    for (std::int64_t i = 0; i < count; ++i) {
        const fs::path sub = library / folderName(i);
        if (i % kFilesPerFolder == 0) fs::create_directories(sub);
        std::ofstream(sub / ("track" + std::to_string(i) + ".mp3"))
            << "QMFAKE\nlufs=-" << (10 + i % 20) << "\ntitle=Track " << i << "\n";
    }
    for (std::int64_t first = 0; withSubfolderResults && first < count; first += kFilesPerFolder) {
        if (!writeResults(library, library / folderName(first), first, first + kFilesPerFolder)) return 1;
    }
    if (!writeResults(library, library, 0, count)) return 1;
    // Pristine copies of the top results, to restore the plain layout.
    fs::copy_file(library / "volume_gains.csv", library.parent_path() / (library.filename().string() + ".csv"),
                  fs::copy_options::overwrite_existing);
    fs::copy_file(library / "volume_gains.csv.meta.json",
                  library.parent_path() / (library.filename().string() + ".meta.json"),
                  fs::copy_options::overwrite_existing);
    return 0;
}

void restoreTopResults(const fs::path& library, bool present) {
    const fs::path saved = library.parent_path() / library.filename();
    for (const char* name : {"volume_gains.csv", "volume_gains.csv.meta.json"}) fs::remove(library / name);
    if (!present) return;
    fs::copy_file(saved.string() + ".csv", library / "volume_gains.csv");
    fs::copy_file(saved.string() + ".meta.json", library / "volume_gains.csv.meta.json");
}

/// In a child of its own: runs the command line once and prints its wall time
/// and its peak memory (the largest child this process waited for: the only one).
int measureChild(const std::vector<std::string>& command) {
    const auto start = std::chrono::steady_clock::now();
    auto run = runProcessCollectingStatus(command[0], {command.begin() + 1, command.end()}, 3600.0);
    const double seconds = bench::secondsSince(start);
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("status=%d wall=%s maxrss_kb=%ld\n", run ? run->status : -1, fixed(seconds).c_str(), usage.ru_maxrss);
    return run && run->status == 0 ? 0 : 1;
}

struct Figures {
    double seconds = -1;
    double peakMb = -1;
    bool toolRan = true;
};

/// `quellmark-cli --quiet FOLDER` once, through a measuring child.
Figures runCli(const fs::path& self, const fs::path& library, const fs::path& toolLog,
               const std::string& cliPath = QUELLMARK_CLI_PATH) {
    std::ofstream(toolLog, std::ios::trunc);
    setenv("QM_FAKE_LOG", toolLog.c_str(), 1);
    const std::string config = (toolLog.parent_path() / "config").string();
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    auto measured = runProcess(self, {"--measure", cliPath, "--quiet", "--incremental", "--ffmpeg",
                                      (toolsDir() / "ffmpeg").string(), library.string()},
                               3600.0);
    Figures figures;
    if (!measured) return figures;
    figures.seconds = valueAfter(measured->stdoutText, "wall");
    figures.peakMb = valueAfter(measured->stdoutText, "maxrss_kb") / 1024;
    figures.toolRan = fs::file_size(toolLog) != 0;
    return figures;
}

/// The median time and the largest peak of `kRounds` runs; `before` runs first each round.
Figures medianOf(const std::function<Figures()>& run, const std::function<void()>& before) {
    std::vector<double> times;
    Figures result{0, 0, false};
    for (int round = 0; round < kRounds; ++round) {
        before();
        const Figures f = run();
        times.push_back(f.seconds);
        result.peakMb = std::max(result.peakMb, f.peakMb);
        result.toolRan = result.toolRan || f.toolRan || f.seconds < 0;
    }
    std::sort(times.begin(), times.end());
    result.seconds = times[times.size() / 2];
    return result;
}

/// Where the plain rerun's time goes, each part alone on this thread.
void printSplit(const fs::path& library) {
    auto start = std::chrono::steady_clock::now();
    auto scanned = scanAudioFiles(library, AppSettings::defaultAudioExtensions());
    const double scanSeconds = bench::secondsSince(start);
    start = std::chrono::steady_clock::now();
    PreviousResults previous = loadPreviousState(library);
    const double loadSeconds = bench::secondsSince(start);
    start = std::chrono::steady_clock::now();
    for (const auto& file : scanned.value_or(FileList{}).strings()) (void)fileStamp(file);
    const double stampSeconds = bench::secondsSince(start);
    std::printf("         alone: scan %ss, previous state %ss (%zu rows), stamps %ss\n", fixed(scanSeconds).c_str(),
                fixed(loadSeconds).c_str(), previous.size(), fixed(stampSeconds).c_str());
}

void printLine(const char* what, std::int64_t files, const Figures& f, const Figures* baseline) {
    std::printf("%-8lld %-22s %9s s %9s MB", static_cast<long long>(files), what, fixed(f.seconds).c_str(),
                fixed(f.peakMb, 1).c_str());
    if (baseline) {
        std::printf("   x%s time, x%s memory of the plain rerun", fixed(f.seconds / baseline->seconds, 2).c_str(),
                    fixed(f.peakMb / baseline->peakMb, 2).c_str());
    }
    std::printf("%s\n", f.toolRan ? "   A TOOL RAN (carry-over failed)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--measure") return measureChild({argv + 2, argv + argc});
    if (argc == 5 && std::string(argv[1]) == "--prepare") {
        return prepare(argv[2], std::stoll(argv[3]), std::string(argv[4]) == "with-subfolder-results");
    }

    bool adopt = false;
    std::string against;
    int next = 1;
    for (; next < argc; ++next) {
        if (std::string(argv[next]) == "--adopt") {
            adopt = true;
        } else if (std::string(argv[next]) == "--against" && next + 1 < argc) {
            against = argv[++next];
        } else {
            break;
        }
    }
    const fs::path self = fs::canonical("/proc/self/exe");
    const fs::path dataDir = next < argc ? fs::path(argv[next]) : self.parent_path() / "bench-data";
    fs::create_directories(dataDir);
    const fs::path toolLog = dataDir / "tool.log";

    std::printf("%-8s %-22s %11s %12s\n", "files", "run", "wall (med)", "peak");
    bool ok = true;
    // A library with results in its subfolders as well as at the top, and one
    // with results at the top only.
    const auto library = [&](const char* kind, std::int64_t size, bool withSubfolderResults) -> std::optional<fs::path> {
        const fs::path folder = dataDir / (std::string(kind) + "-" + std::to_string(size));
        if (fs::exists(folder.string() + ".meta.json")) return folder;
        std::fprintf(stderr, "preparing %s\n", folder.c_str());
        fs::remove_all(folder);
        auto prepared = runProcess(self, {"--prepare", folder.string(), std::to_string(size),
                                          withSubfolderResults ? "with-subfolder-results" : "top-only"},
                                   3600.0);
        if (!prepared) {
            std::fprintf(stderr, "preparation failed: %s\n", prepared.error().description().c_str());
            return std::nullopt;
        }
        return folder;
    };
    for (const std::int64_t size : kSizes) {
        const auto nested = library("library", size, true);
        if (!nested) return 1;
        const auto cli = [&] { return runCli(self, *nested, toolLog); };
        const Figures plain = medianOf(cli, [&] { restoreTopResults(*nested, true); });
        printLine("plain rerun", size, plain, nullptr);
        ok = ok && !plain.toolRan;
        if (adopt) {
            const Figures first = medianOf(cli, [&] { restoreTopResults(*nested, false); });
            printLine("first run, adopting", size, first, &plain);
            const Figures second = medianOf(cli, [] {});
            printLine("second run", size, second, &plain);
            ok = ok && !first.toolRan && !second.toolRan;
        }
        restoreTopResults(*nested, true);
        if (!against.empty()) {
            // No results below the top, and both builds alternating, so that
            // both see the same machine.
            const auto flat = library("flat", size, false);
            if (!flat) return 1;
            std::vector<double> ours, theirs;
            double ourPeak = 0, theirPeak = 0;
            for (int round = 0; round < kRounds; ++round) {
                restoreTopResults(*flat, true);
                const Figures mine = runCli(self, *flat, toolLog);
                restoreTopResults(*flat, true);
                const Figures other = runCli(self, *flat, toolLog, against);
                ours.push_back(mine.seconds);
                theirs.push_back(other.seconds);
                ourPeak = std::max(ourPeak, mine.peakMb);
                theirPeak = std::max(theirPeak, other.peakMb);
                ok = ok && !mine.toolRan;
            }
            std::sort(ours.begin(), ours.end());
            std::sort(theirs.begin(), theirs.end());
            const double a = ours[ours.size() / 2], b = theirs[theirs.size() / 2];
            std::printf("%-8lld %-22s %9s s %9s MB\n", static_cast<long long>(size), "flat, this build", fixed(a).c_str(),
                        fixed(ourPeak, 1).c_str());
            std::printf("%-8lld %-22s %9s s %9s MB   this build x%s time, x%s memory of it\n",
                        static_cast<long long>(size), "flat, other build", fixed(b).c_str(), fixed(theirPeak, 1).c_str(),
                        fixed(a / b, 2).c_str(), fixed(ourPeak / theirPeak, 2).c_str());
            restoreTopResults(*flat, true);
        }
        printSplit(*nested);
    }
    std::printf("targets: 200000-file plain rerun <= 1.0 s and <= 120 MB;"
                " adopting <= 1.5x its time and <= 1.3x its memory; no tool run\n");
    return ok ? 0 : 1;
}
