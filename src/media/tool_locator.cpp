#include "media/tool_locator.h"

#include <sys/stat.h>
#include <unistd.h>

#include "base/text.h"
#include "media/process_runner.h"

namespace quellmark {
namespace {

// The execute-permission test of the tool search. access(X_OK) also passes
// for a directory, which can never be launched: a folder that happens to be
// called "ffmpeg" would end the search and fail every file instead of letting
// the search find the real tool further on. Nothing is opened.
bool isExecutableFile(const std::string& path) {
    if (::access(path.c_str(), X_OK) != 0) return false;
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string withoutTrailingSeparators(std::string text) {
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

const std::vector<std::string>& toolSearchDirectories() {
    static const std::vector<std::string> directories = {
        "/opt/homebrew/bin",
        "/usr/local/bin",
        "/usr/local/opt/ffmpeg/bin",
        "/opt/local/bin",
    };
    return directories;
}

std::optional<std::filesystem::path> locateTool(std::string_view name,
                                                const std::optional<std::string>& configuredPath,
                                                std::span<const std::string> directories) {
    if (configuredPath && !configuredPath->empty() && isExecutableFile(*configuredPath)) {
        // A relative text means relative to the working directory now; made
        // absolute so that it still names the same file if that changes.
        std::error_code ec;
        auto absolute = std::filesystem::absolute(*configuredPath, ec);
        return ec ? std::filesystem::path(*configuredPath) : absolute;
    }
    for (const auto& directory : directories) {
        std::string candidate = directory;
        if (candidate.empty() || candidate.back() != '/') candidate += '/';
        candidate += name;
        if (isExecutableFile(candidate)) return std::filesystem::path(candidate);
    }
    return lookUpWithWhich(name);
}

std::optional<std::string> siblingProbePath(const std::optional<std::string>& configuredFfmpegPath) {
    if (!configuredFfmpegPath || configuredFfmpegPath->empty()) return std::nullopt;
    const std::string path = withoutTrailingSeparators(*configuredFfmpegPath);
    const auto lastSeparator = path.rfind('/');
    if (lastSeparator == std::string::npos) return std::nullopt;  // a bare name has no directory
    std::string directory = withoutTrailingSeparators(path.substr(0, lastSeparator));
    if (directory.empty() || directory == "/") return "/ffprobe";
    return directory + "/ffprobe";
}

std::optional<std::filesystem::path> lookUpWithWhich(std::string_view name, double timeLimitSeconds) {
    // A search path may reach a hung network mount; a look-up stopped there
    // finds nothing rather than holding every analysis that needs a tool.
    auto run = runProcessCollectingStatus("/usr/bin/env", {"which", std::string(name)}, timeLimitSeconds);
    if (!run || run->stopCause != StopCause::none || !isValidUtf8(run->stdoutBytes)) return std::nullopt;
    const std::string_view text = trimWhitespace(run->stdoutBytes);
    if (text.empty()) return std::nullopt;
    return std::filesystem::path(std::string(text));
}

}  // namespace quellmark
