// What the process runner costs over a bare launch. Every analysed file runs
// two tools (and, with the tools found only on the search path, two `which`
// children as well), so the runner's own overhead is paid per file.
//
// Run by hand: build/runner_bench [iterations]
// A = runProcess("/bin/true"), B = posix_spawn + waitpid of /bin/true, timed
// alternately (A B A B ...) so that drift of a shared machine hits both.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "media/process_runner.h"
#include "media/tool_locator.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double microsecondsOf(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void runWithRunner() {
    const auto result = quellmark::runProcess("/bin/true", {}, 300);
    if (!result) {
        std::fprintf(stderr, "runProcess failed: %s\n", result.error().description().c_str());
        std::exit(1);
    }
}

void runBare() {
    char path[] = "/bin/true";
    char* argv[] = {path, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) std::exit(1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 1000;
    std::vector<double> runner, bare;
    for (int i = 0; i < 20; ++i) {  // warm-up: page cache, allocator
        runWithRunner();
        runBare();
    }
    for (int i = 0; i < iterations; ++i) {
        runner.push_back(microsecondsOf(runWithRunner));
        bare.push_back(microsecondsOf(runBare));
    }
    const double runnerMedian = median(runner);
    const double bareMedian = median(bare);
    std::printf("runProcess(/bin/true)          median %8.1f us  (%d runs)\n", runnerMedian, iterations);
    std::printf("posix_spawn+waitpid(/bin/true) median %8.1f us  (%d runs)\n", bareMedian, iterations);
    std::printf("ratio runner / bare            %8.2f  (target <= 1.20)\n", runnerMedian / bareMedian);

    std::vector<double> which;
    for (int i = 0; i < std::max(1, iterations / 10); ++i) {
        which.push_back(microsecondsOf([] { (void)quellmark::lookUpWithWhich("ffmpeg"); }));
    }
    const auto found = quellmark::lookUpWithWhich("ffmpeg");
    std::printf("lookUpWithWhich(ffmpeg)        median %8.1f us  (%zu runs, %.1f x bare launch) -> %s\n",
                median(which), which.size(), median(which) / bareMedian, found ? found->c_str() : "(none)");

    // The stand-in tools run tens of thousands of times in the engine's benchmarks.
    const auto tools = std::filesystem::path(__FILE__).parent_path().parent_path() / "tests/tools";
    const auto fake = std::filesystem::temp_directory_path() / "quellmark-runner-bench.flac";
    std::FILE* out = std::fopen(fake.c_str(), "w");
    if (!out) return 1;
    std::fputs("QMFAKE\nlufs=-23.0\npeak=-3.0\ntitle=Bench\nsilence_start=0\nsilence_end=0.5\n", out);
    std::fclose(out);
    std::vector<double> ffmpeg, ffprobe;
    for (int i = 0; i < std::max(1, iterations / 10); ++i) {
        ffmpeg.push_back(microsecondsOf([&] { (void)quellmark::runProcess(tools / "ffmpeg", {"-i", fake.string()}, 300); }));
        ffprobe.push_back(microsecondsOf([&] { (void)quellmark::runProcess(tools / "ffprobe", {fake.string()}, 300); }));
    }
    std::filesystem::remove(fake);
    std::printf("stand-in ffmpeg                median %8.1f us  (%.1f x bare launch)\n", median(ffmpeg),
                median(ffmpeg) / bareMedian);
    std::printf("stand-in ffprobe               median %8.1f us  (%.1f x bare launch)\n", median(ffprobe),
                median(ffprobe) / bareMedian);
    return 0;
}
