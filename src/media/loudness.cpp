// The loudness run of ffmpeg, its report read as it arrives.

#include "media/loudness.h"

#include <cmath>
#include <vector>

#include "media/loudness_report.h"
#include "media/process_runner.h"
#include "media/tool_locator.h"

namespace quellmark {
namespace {

// Noise floor -50 dB and minimum silence 0.1 s, then the loudness with true
// peak. Both filters report on standard error; standard output stays unread.
constexpr const char* kFilter = "silencedetect=noise=-50dB:d=0.1,ebur128=peak=true";

// The probe's duration and the decoded length may differ by container rounding;
// beyond this, the container's figure is an estimate (ADTS AAC, VBR MP3 without
// a Xing header, a truncated file) and the decoded length is the truth.
constexpr double kDurationToleranceSec = 0.5;

// The tools take the file as an argument of its own, never through a shell. An
// absolute path also begins with "/", so a name such as "-x.mp3" can never be
// read as an option.
std::string absoluteArgument(const std::filesystem::path& file) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(file, error);
    return error ? file.string() : absolute.string();
}

bool isKnownLength(double sec) { return std::isfinite(sec) && sec > 0; }

}  // namespace

Result<LoudnessMeasurement> measureLoudness(const std::filesystem::path& file,
                                            const std::optional<std::string>& configuredFfmpegPath,
                                            double durationSec, const LoudnessTimeLimits& limits) {
    const auto ffmpeg = locateTool("ffmpeg", configuredFfmpegPath);
    if (!ffmpeg) return fail(JobError::binaryNotFound("ffmpeg"));
    const std::vector<std::string> arguments = {
        "-nostdin", "-hide_banner", "-nostats", "-i", absoluteArgument(file), "-vn", "-af", kFilter, "-f", "null", "-",
    };
    const double ceilingSeconds = isKnownLength(durationSec) ? limits.ceilingMarginSeconds + durationSec
                                                             : limits.unknownDurationCeilingSeconds;
    LoudnessReportReader reader;
    ProcessOptions options;
    options.quietLimitSeconds = limits.quietSeconds;
    options.onStderrLine = [&](const ReportLine& line) { reader.addLine(line); };
    const auto output = runProcess(*ffmpeg, arguments, ceilingSeconds, options);
    if (!output) return fail(output.error());
    return reader.finish(durationSec);
}

Result<LoudnessMeasurement> parseLoudnessReport(std::string_view stderrText, double durationSec) {
    LoudnessReportReader reader;
    ReportLineSplitter splitter;
    const LineSink sink = [&](const ReportLine& line) { reader.addLine(line); };
    splitter.feed(stderrText, sink);
    splitter.finish(sink);
    return reader.finish(durationSec);
}

double effectiveDuration(double probeDurationSec, double decodedSec) {
    if (!isKnownLength(decodedSec)) return probeDurationSec;
    if (!isKnownLength(probeDurationSec) || std::abs(probeDurationSec - decodedSec) > kDurationToleranceSec) {
        return decodedSec;
    }
    return probeDurationSec;
}

}  // namespace quellmark
