#include "media/tool_locator.h"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;

// A name no real installation has, so that what `which` finds is up to the test.
constexpr const char* kTool = "quellmark-test-tool";

/// `pattern` with its "T" standing for kTool.
std::string named(std::string pattern) {
    if (const auto t = pattern.find('T'); t != std::string::npos) pattern.replace(t, 1, kTool);
    return pattern;
}

/// Makes `pattern` (see `named`) below `root`: a trailing "*" makes an executable,
/// a trailing "/" a folder, anything else a plain file.
void make(const fs::path& root, std::string pattern) {
    pattern = named(pattern);
    const char kind = pattern.back();
    const fs::path path = root / (kind == '*' || kind == '/' ? pattern.substr(0, pattern.size() - 1) : pattern);
    test::writeFile(kind == '/' ? path / "inside" : path, "#!/bin/sh\n");  // a folder holds a file
    ::chmod(path.c_str(), kind == '*' || kind == '/' ? 0755 : 0644);
}

TEST(ToolLocator, SearchOrder) {
    // Each case runs in its own temporary folder, which is also the working directory:
    // a configured path with a leading "/" lies below that folder, any other is relative.
    const struct {
        const char* what;
        std::vector<std::string> files;
        std::optional<std::string> configured;
        std::optional<std::string> expected;
    } cases[] = {
        {"configured path wins", {"elsewhere/ffmpeg-build*", "a/T*"}, "/elsewhere/ffmpeg-build", "elsewhere/ffmpeg-build"},
        {"configured file not executable", {"elsewhere/ffmpeg", "b/T*"}, "/elsewhere/ffmpeg", "b/T"},
        {"relative configured path", {"tools/ffmpeg*", "a/T*"}, "tools/ffmpeg", "tools/ffmpeg"},
        {"relative configured path to nothing", {"b/other*"}, "./T", std::nullopt},
        {"first directory wins, empty configured path", {"a/T*", "b/T*"}, "", "a/T"},
        {"non-executable file skipped", {"a/T", "b/T*"}, std::nullopt, "b/T"},
        {"directory of that name skipped", {"a/T/", "c/T*"}, std::nullopt, "c/T"},
        {"nothing anywhere", {"a/T", "b/other*"}, std::nullopt, std::nullopt},
    };
    const test::ScopedEnv path("PATH", "/usr/bin:/bin");
    const auto previous = fs::current_path();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir root;
        for (const auto& file : c.files) make(root.path(), file);
        auto configured = c.configured.transform(named);
        if (configured && configured->starts_with("/")) configured = root.path().string() + *configured;
        const std::vector<std::string> dirs = {(root / "a").string(), (root / "b").string() + "/", (root / "c").string()};
        fs::current_path(root.path());
        const auto found = locateTool(kTool, configured, dirs);
        fs::current_path(previous);
        if (!c.expected) {
            EXPECT_FALSE(found) << *found;
            continue;
        }
        ASSERT_TRUE(found);
        EXPECT_TRUE(found->is_absolute()) << *found;
        EXPECT_TRUE(fs::equivalent(*found, root / named(*c.expected))) << *found;
    }
}

TEST(ToolLocator, FallsBackToWhichOnTheSearchPath) {
    test::TempDir root;
    make(root.path(), "bin/T*");
    make(root.path(), "\xFF\xFE/T*");
    // A `which` that names a tool and then hangs, as on a stalled network mount.
    test::writeFile(root / "hung" / "which", "#!/bin/sh\necho /bin/sh\nexec sleep 30\n");
    ::chmod((root / "hung" / "which").c_str(), 0755);
    const auto expected = root / "bin" / kTool;  // trimmed of which's line break
    const std::pair<std::string, std::optional<fs::path>> cases[] = {
        {(root / "bin").string() + ":/usr/bin:/bin", expected},
        {"/usr/bin:/bin", std::nullopt},
        // which prints the path's bytes as they are; a path that is not UTF-8 is not taken.
        {(root / "\xFF\xFE").string() + ":/usr/bin:/bin", std::nullopt},
        {(root / "hung").string() + ":/usr/bin:/bin", std::nullopt},
    };
    for (const auto& [searchPath, found] : cases) {
        const test::ScopedEnv path("PATH", searchPath.c_str());
        EXPECT_EQ(lookUpWithWhich(kTool, 0.3), found) << searchPath;
        if (found) { EXPECT_EQ(locateTool(kTool, std::nullopt, {}), found); }
    }
}

TEST(ToolLocator, SiblingProbePath) {
    const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
        {"/x/y/ffmpeg", "/x/y/ffprobe"}, {"/a/b/", "/a/ffprobe"}, {"/a//b", "/a/ffprobe"},
        {"relative/dir/ffmpeg", "relative/dir/ffprobe"}, {"/", "/ffprobe"}, {"ffmpeg", std::nullopt},
        {"", std::nullopt}, {std::nullopt, std::nullopt},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(siblingProbePath(input), expected) << input.value_or("-");
}

}  // namespace
}  // namespace quellmark
