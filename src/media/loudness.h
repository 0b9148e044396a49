#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/job_error.h"

namespace quellmark {

/// One ffmpeg run's readings. NaN marks an unknown value.
struct LoudnessMeasurement {
    /// NaN when ebur128 found no loudness (its -70 LUFS placeholder).
    double integratedLUFS = 0;
    double truePeakDBFS = 0;
    double leadingSilenceSec = 0;
    double trailingSilenceSec = 0;
    /// The decoded length from ffmpeg's final progress line; NaN when unknown.
    double decodedSec = 0;
};

struct SilenceEdges {
    double leadingSec = 0;
    double trailingSec = 0;
};

/// Runs ffmpeg's silencedetect and ebur128 over `file`. `durationSec` is the
/// probe's duration (NaN when unknown). Fails with binaryNotFound("ffmpeg"), the
/// runner's errors, or "ebur128 の解析結果を読み取れませんでした". Blocks; any thread.
Result<LoudnessMeasurement> measureLoudness(const std::filesystem::path& file,
                                            const std::optional<std::string>& configuredFfmpegPath,
                                            double durationSec);

/// The measurement read from ffmpeg's standard error.
Result<LoudnessMeasurement> parseLoudnessReport(std::string_view stderrText, double durationSec);

/// The duration a row and the silence rules use: the decoded length when it is
/// known and the probe's duration is NaN or differs from it by more than 0.5 s;
/// otherwise the probe's duration.
double effectiveDuration(double probeDurationSec, double decodedSec);

/// Capture group 1 of the last match of `pattern` (PCRE2) in `text`, parsed
/// strictly as a C-locale number; nullopt when there is none or it does not parse.
std::optional<double> lastCapturedNumber(std::string_view text, std::string_view pattern);

/// Leading and trailing silence from the silencedetect lines of `stderrText`.
/// `decodedSec` is the decoded length (NaN when unknown).
SilenceEdges silenceEdges(std::string_view stderrText, double durationSec, double decodedSec);

}  // namespace quellmark
