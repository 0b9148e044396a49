#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quellmark {

/// The directories searched after the configured path, in order.
const std::vector<std::string>& toolSearchDirectories();

/// The executable of `name` ("ffmpeg" or "ffprobe"): the configured path when it
/// is executable (text used as given), else the first executable `dir/name` of
/// `directories`, else what `/usr/bin/env which name` prints. Nothing is cached;
/// may block while `which` runs. Any thread.
std::optional<std::filesystem::path> locateTool(std::string_view name,
                                                const std::optional<std::string>& configuredPath,
                                                std::span<const std::string> directories = toolSearchDirectories());

/// Where an ffprobe matching the configured ffmpeg path is expected: its
/// directory joined with "ffprobe"; nullopt for an absent, empty or bare name.
std::optional<std::string> siblingProbePath(const std::optional<std::string>& configuredFfmpegPath);

/// The trimmed path that `which` prints for `name`, or nullopt; nullopt too
/// when `which` has not ended within `timeLimitSeconds` (it is then stopped).
std::optional<std::filesystem::path> lookUpWithWhich(std::string_view name, double timeLimitSeconds = 10);

}  // namespace quellmark
