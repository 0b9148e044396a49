#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/job_error.h"

namespace quellmark {

/// What ffprobe tells about a file. durationSec is NaN when unknown.
struct ProbeResult {
    double durationSec = 0;
    std::string title;
    std::string artist;
};

/// Runs ffprobe (found from `configuredProbePath`, the candidate directories or
/// `which`) over `file`. Fails with binaryNotFound("ffprobe"), the runner's
/// errors, or "ffprobe の解析に失敗しました". ffprobe prints nothing while it
/// works, so its limit counts from the launch. Blocks; any thread.
Result<ProbeResult> probeMetadata(const std::filesystem::path& file,
                                  const std::optional<std::string>& configuredProbePath,
                                  double timeLimitSeconds = 300);

/// The ProbeResult of one ffprobe JSON report (standard output).
Result<ProbeResult> parseProbeReport(std::string_view json);

}  // namespace quellmark
