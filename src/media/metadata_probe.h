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

/// Runs the `ffprobe` executable (as found by locateTools) over `file`. Fails
/// with binaryNotFound("ffprobe") when it is absent, the runner's
/// errors, or "ffprobe の解析に失敗しました". ffprobe prints nothing while it
/// works, so its limit counts from the launch. Blocks; any thread.
Result<ProbeResult> probeMetadata(const std::filesystem::path& file,
                                  const std::optional<std::filesystem::path>& ffprobe,
                                  double timeLimitSeconds = 300);

/// The ProbeResult of one ffprobe JSON report (standard output).
Result<ProbeResult> parseProbeReport(std::string_view json);

}  // namespace quellmark
