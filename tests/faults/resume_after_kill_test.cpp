// quellmark-cli killed near the end of a run: the rerun measures only what the
// killed run had not saved, and ends with the rows a fresh run gives.
#include <signal.h>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "faults/fault_support.h"
#include "support/temp_dir.h"

namespace quellmark::test {
namespace {

namespace fs = std::filesystem;

TEST(ResumeAfterKill, RerunMeasuresOnlyFilesWithoutASavedEntry) {
    TempDir dir;
    const FakeLibrary library(dir / "music", 300, 0.02);
    const fs::path folder = library.folder();
    const fs::path killedLog = dir / "killed.log";
    const fs::path rerunLog = dir / "rerun.log";
    {
        CliChild child(cliArguments(folder, false), cliEnvironment(dir / "config", killedLog));
        ASSERT_TRUE(waitForLines(killedLog, "ffmpeg end", 270));
        child.sendSignal(SIGKILL);
        ASSERT_EQ(child.wait().signal, SIGKILL);
    }
    ASSERT_FALSE(fs::exists(folder / "volume_gains.csv")) << "the run ended before it was killed";
    const MetaMap saved = decodeJournal(readFile(folder / "volume_gains.csv.meta.journal"));
    ASSERT_GE(saved.size(), 192u);

    const CliOutcome rerun = runCli(cliArguments(folder, false), cliEnvironment(dir / "config", rerunLog));
    ASSERT_EQ(rerun.exitStatus, 0) << rerun.err;
    std::multiset<std::string> expected;
    for (const std::string& path : library.relativePaths()) {
        if (!saved.contains(path)) expected.insert((folder / path).string());
    }
    EXPECT_EQ(toolRuns(rerunLog, "ffmpeg"), expected);

    const std::string resumedCsv = readFile(folder / "volume_gains.csv");
    const std::string resumedMeta = readFile(folder / "volume_gains.csv.meta.json");
    const CliOutcome fresh = runCli(cliArguments(folder, true), cliEnvironment(dir / "config", dir / "fresh.log"));
    ASSERT_EQ(fresh.exitStatus, 0) << fresh.err;
    EXPECT_EQ(sortedDataLines(resumedCsv), sortedDataLines(readFile(folder / "volume_gains.csv")));
    EXPECT_EQ(sortedDataLines(resumedCsv).size(), 300u);
    EXPECT_EQ(resumedMeta, readFile(folder / "volume_gains.csv.meta.json"));
}

}  // namespace
}  // namespace quellmark::test
