// An archive measured a subfolder at a time by GNU parallel, then once at the
// top: the top run adopts every subfolder's rows and starts no tool for them.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "media/process_runner.h"
#include "output/analyze_result.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace quellmark::test {
namespace {

TEST(Distributed, SubfoldersMeasuredByGnuParallelAreAdoptedByTheTopRun) {
    if (!fs::exists("/usr/bin/parallel")) GTEST_SKIP() << "GNU parallel is not installed (scripts/install-deps.sh)";
    TempDir archive, config;
    const fs::path log = config / "tools.log";
    ScopedEnv logVariable("QM_FAKE_LOG", log.c_str());
    ScopedEnv configVariable("XDG_CONFIG_HOME", config.path().c_str());
    std::vector<std::string> expected = {"loose.mp3"};
    writeFile(archive / "loose.mp3", "QMFAKE\n");
    for (const char* sub : {"1990", "1991", "1992", "1993"}) {
        for (const char* name : {"a.mp3", "b.flac", "deep/c.wav"}) {
            writeFile(archive / sub / name, "QMFAKE\nlufs=-20\n");
            expected.push_back(std::string(sub) + "/" + name);
        }
    }

    const std::string fakeFfmpeg = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg";
    const auto perFolder = runProcessCollectingStatus(
        "/usr/bin/parallel", {"--will-cite", "--jobs", "2", "--halt", "now,fail=1", QUELLMARK_CLI_PATH, "--quiet",
                              "--ffmpeg", fakeFfmpeg, "{}", ":::", archive / "1990", archive / "1991",
                              archive / "1992", archive / "1993"},
        120);
    ASSERT_TRUE(perFolder && perFolder->status == 0) << (perFolder ? perFolder->lastStderrLine : "");

    fs::remove(log);
    const CliOutcome top = runCli({"--quiet", "--ffmpeg", fakeFfmpeg, archive.path().string()}, {});
    ASSERT_EQ(top.exitStatus, 0) << top.err;
    // Only the file that no subfolder measured: one probe, one measurement.
    const auto measured = toolRuns(log, "ffmpeg", "start");
    ASSERT_EQ(measured.size(), 1u);
    EXPECT_EQ(measured[0].second, archive / "loose.mp3");
    EXPECT_EQ(toolRuns(log, "ffprobe", "start").size(), 1u);

    const std::string csv = readFile(archive / "volume_gains.csv");
    std::vector<std::string> rows;
    for (const auto& [path, row] : parsePreviousRows(csv)) rows.push_back(path);
    std::ranges::sort(rows);
    std::ranges::sort(expected);
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(std::ranges::count(csv, '\n'), 14);  // the header and each file once
}

}  // namespace
}  // namespace quellmark::test
