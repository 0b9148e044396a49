// How long reading ffmpeg's report takes against the ffmpeg run that wrote it.
//
// Runs the real ffmpeg with the measurement's filters over one generated hour
// of audio (a 1 kHz tone muted for 2 s of every 10 s, so silencedetect reports
// too), then times the report reader over that report, as a whole text. The
// reader must stay a small fraction (under 2 %) of the ffmpeg run. Also prints
// the wall time of one probe and one measurement of a generated 60 s FLAC.
//
// Usage: parse_bench [SECONDS_OF_AUDIO]   (default 3600)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/text.h"
#include "media/loudness.h"
#include "media/metadata_probe.h"
#include "media/process_runner.h"
#include "media/tool_locator.h"

using namespace quellmark;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Best of `rounds` runs of `fn`, in seconds: the least disturbed by other load.
template <class Fn>
double bestOf(int rounds, Fn&& fn) {
    double best = 1e300;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        fn();
        best = std::min(best, secondsSince(start));
    }
    return best;
}

// ffmpeg's standard error, its lines joined with LF, in `report`.
Result<ProcessOutput> runFfmpeg(const std::filesystem::path& ffmpeg, std::vector<std::string> args,
                                std::string* report = nullptr) {
    args.insert(args.begin(), {"-nostdin", "-hide_banner"});
    ProcessOptions options;
    if (report != nullptr) {
        options.onStderrLine = [report](const ReportLine& line) {
            report->append(line.text);
            report->push_back('\n');
        };
    }
    return runProcess(ffmpeg, args, 3600, options);
}

}  // namespace

int main(int argc, char** argv) {
    const int audioSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3600;
    const auto ffmpeg = locateTool("ffmpeg", std::nullopt);
    if (!ffmpeg) {
        std::fprintf(stderr, "parse_bench: ffmpeg not found\n");
        return 1;
    }

    // The measurement's own command line, with a generated source instead of a file.
    const std::string source = "sine=f=1000:r=48000:d=" + std::to_string(audioSeconds) +
                               ",volume=enable='gt(mod(t\\,10)\\,8)':volume=0,aformat=channel_layouts=stereo";
    std::printf("ffmpeg over %d s of generated audio...\n", audioSeconds);
    const auto ffmpegStart = Clock::now();
    std::string report;
    const auto run = runFfmpeg(*ffmpeg,
                               {"-nostats", "-f", "lavfi", "-i", source, "-vn", "-af",
                                "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true", "-f", "null", "-"},
                               &report);
    const double ffmpegSec = secondsSince(ffmpegStart);
    if (!run) {
        std::fprintf(stderr, "parse_bench: %s\n", run.error().description().c_str());
        return 1;
    }
    const double duration = audioSeconds;

    const int rounds = 5;
    volatile double sink = 0;
    const double wholeSec = bestOf(rounds, [&] { sink = parseLoudnessReport(report, duration)->leadingSilenceSec; });
    const double repairSec = bestOf(rounds, [&] { sink = static_cast<double>(repairUtf8(report).size()); });
    (void)sink;

    std::printf("report: %.2f MB for %d s of audio = %.2f MB per hour of audio\n", report.size() / 1e6,
                audioSeconds, report.size() / 1e6 * 3600.0 / audioSeconds);
    std::printf("ffmpeg run (baseline):            %9.3f s\n", ffmpegSec);
    std::printf("parseLoudnessReport (all rules):  %9.3f ms  (%.4f %% of ffmpeg, limit 2 %%) %s\n", wholeSec * 1e3,
                100 * wholeSec / ffmpegSec, wholeSec < 0.02 * ffmpegSec ? "ok" : "TOO SLOW");
    std::printf("for scale, repairUtf8 of report:  %9.3f ms\n", repairSec * 1e3);

    // One probe and one measurement of a 60 s FLAC, as a file of a run sees them.
    char dirTemplate[] = "/tmp/quellmark-bench-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) return 1;
    const std::filesystem::path dir = dirTemplate;
    const auto flac = dir / "minute.flac";
    const auto made = runFfmpeg(*ffmpeg, {"-loglevel", "error", "-f", "lavfi", "-i", "sine=f=1000:r=48000:d=60",
                                          "-ac", "2", "-y", flac.string()});
    int status = 0;
    if (made) {
        const auto probeStart = Clock::now();
        const auto probe = probeMetadata(flac, std::nullopt);
        const double probeSec = secondsSince(probeStart);
        const auto measureStart = Clock::now();
        const auto m = measureLoudness(flac, std::nullopt, probe ? probe->durationSec : duration);
        const double measureSec = secondsSince(measureStart);
        std::printf("probeMetadata, 60 s FLAC:         %9.3f s\n", probeSec);
        std::printf("measureLoudness, 60 s FLAC:       %9.3f s (%s)\n", measureSec, m ? "ok" : m.error().description().c_str());
        if (!probe || !m) status = 1;
    } else {
        std::fprintf(stderr, "parse_bench: %s\n", made.error().description().c_str());
        status = 1;
    }
    std::filesystem::remove_all(dir);
    return status;
}
