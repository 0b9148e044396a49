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

/// When the loudness run is stopped. ffmpeg writes its report all the while it
/// decodes, so a run that still writes is alive however long the file.
struct LoudnessTimeLimits {
    /// Stopped after this long without a byte on either of its pipes.
    double quietSeconds = 300;
    /// Stopped at the latest this long plus the probed duration after its launch:
    /// decoding slower than real time is a fault, not a long file.
    double ceilingMarginSeconds = 300;
    /// The ceiling when the duration is unknown.
    double unknownDurationCeilingSeconds = 24 * 3600;
};

/// Runs ffmpeg's silencedetect and ebur128 over `file`. `durationSec` is the
/// probe's duration (NaN when unknown). Fails with binaryNotFound("ffmpeg"), the
/// runner's errors, or "ebur128 の解析結果を読み取れませんでした". Reads the
/// report as it arrives, in memory that does not grow with the file's length.
/// Blocks; any thread.
Result<LoudnessMeasurement> measureLoudness(const std::filesystem::path& file,
                                            const std::optional<std::string>& configuredFfmpegPath,
                                            double durationSec, const LoudnessTimeLimits& limits = {});

/// The measurement read from ffmpeg's whole standard error, line by line as
/// measureLoudness reads it.
Result<LoudnessMeasurement> parseLoudnessReport(std::string_view stderrText, double durationSec);

/// The duration a row and the silence rules use: the decoded length when it is
/// known and the probe's duration is NaN or differs from it by more than 0.5 s;
/// otherwise the probe's duration.
double effectiveDuration(double probeDurationSec, double decodedSec);

}  // namespace quellmark
