#include "media/tool_locator.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

enum class Kind { executable, plain, directory };

void make(const fs::path& path, Kind kind) {
    if (kind == Kind::directory) {
        fs::create_directories(path);
        ::chmod(path.c_str(), 0755);
        return;
    }
    test::writeFile(path, "#!/bin/sh\n");
    ::chmod(path.c_str(), kind == Kind::executable ? 0755 : 0644);
}

TEST(ToolLocator, SearchOrder) {
    const std::string tool = kTool;
    struct {
        const char* what;
        std::vector<std::pair<std::string, Kind>> files;  // relative to the temporary folder
        std::optional<std::string> configured;            // relative to the temporary folder, "" kept empty
        std::optional<std::string> expected;
    } const cases[] = {
        {"configured path wins over the directories",
         {{"elsewhere/ffmpeg-build", Kind::executable}, {"a/" + tool, Kind::executable}},
         "elsewhere/ffmpeg-build", "elsewhere/ffmpeg-build"},
        {"empty configured path", {{"a/" + tool, Kind::executable}}, "", "a/" + tool},
        {"configured file not executable",
         {{"elsewhere/ffmpeg", Kind::plain}, {"b/" + tool, Kind::executable}}, "elsewhere/ffmpeg", "b/" + tool},
        {"first directory wins", {{"a/" + tool, Kind::executable}, {"b/" + tool, Kind::executable}}, std::nullopt,
         "a/" + tool},
        {"non-executable file skipped", {{"a/" + tool, Kind::plain}, {"b/" + tool, Kind::executable}}, std::nullopt,
         "b/" + tool},
        {"directory of that name skipped", {{"a/" + tool, Kind::directory}, {"c/" + tool, Kind::executable}},
         std::nullopt, "c/" + tool},
        {"nothing anywhere", {{"a/" + tool, Kind::plain}, {"b/other", Kind::executable}}, "", std::nullopt},
    };
    const test::ScopedEnv path("PATH", "/usr/bin:/bin");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir root;
        for (const auto& [relative, kind] : c.files) make(root / relative, kind);
        std::optional<std::string> configured = c.configured;
        if (configured && !configured->empty()) configured = (root / *configured).string();
        const std::vector<std::string> directories = {(root / "a").string(), (root / "b").string() + "/",
                                                      (root / "c").string()};
        const auto found = locateTool(kTool, configured, directories);
        if (c.expected) {
            ASSERT_TRUE(found);
            EXPECT_EQ(found->lexically_normal(), (root / *c.expected).lexically_normal());
        } else {
            EXPECT_FALSE(found) << *found;
        }
    }
}

TEST(ToolLocator, RelativeConfiguredPathMeansTheWorkingDirectory) {
    test::TempDir root;
    make(root / "tools/ffmpeg", Kind::executable);
    const auto previous = fs::current_path();
    fs::current_path(root.path());
    const auto found = locateTool("ffmpeg", std::string("tools/ffmpeg"), {});
    const auto notHere = locateTool(kTool, std::string("./" + std::string(kTool)), {});
    fs::current_path(previous);
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->is_absolute());
    EXPECT_TRUE(fs::equivalent(*found, root / "tools/ffmpeg"));
    EXPECT_FALSE(notHere);
}

TEST(ToolLocator, FallsBackToWhichOnTheSearchPath) {
    test::TempDir root;
    make(root / "bin" / kTool, Kind::executable);
    make(root / "\xFF\xFE" / kTool, Kind::executable);
    {
        const test::ScopedEnv path("PATH", ((root / "bin").string() + ":/usr/bin:/bin").c_str());
        const auto viaWhich = lookUpWithWhich(kTool);
        ASSERT_TRUE(viaWhich);
        EXPECT_EQ(*viaWhich, root / "bin" / kTool);  // trimmed of which's line break
        const auto located = locateTool(kTool, std::nullopt, {});
        ASSERT_TRUE(located);
        EXPECT_EQ(*located, root / "bin" / kTool);
    }
    {
        const test::ScopedEnv path("PATH", "/usr/bin:/bin");
        EXPECT_FALSE(lookUpWithWhich(kTool));
    }
    {
        // which prints the path's bytes as they are; a path that is not UTF-8 is not taken.
        const test::ScopedEnv path("PATH", ((root / "\xFF\xFE").string() + ":/usr/bin:/bin").c_str());
        EXPECT_FALSE(lookUpWithWhich(kTool));
    }
}

TEST(ToolLocator, SiblingProbePath) {
    const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
        {"/x/y/ffmpeg", "/x/y/ffprobe"},
        {"/a/b/", "/a/ffprobe"},
        {"/a//b", "/a/ffprobe"},
        {"relative/dir/ffmpeg", "relative/dir/ffprobe"},
        {"/", "/ffprobe"},
        {"ffmpeg", std::nullopt},
        {"", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input.value_or("(absent)"));
        EXPECT_EQ(siblingProbePath(input), expected);
    }
}

}  // namespace
}  // namespace quellmark
