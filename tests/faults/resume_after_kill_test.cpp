// quellmark-cli killed near the end of a run: the rerun measures only what the
// killed run had not saved, and ends with the rows a fresh run gives.
#include <signal.h>

#include <set>

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
    const fs::path log = dir / "tools.log";
    {
        CliChild child(cliArguments(folder, false), cliEnvironment(dir.path()));
        ASSERT_TRUE(waitForLines(log, "ffmpeg end", 270));
        child.sendSignal(SIGKILL);
        ASSERT_EQ(child.wait().signal, SIGKILL);
    }
    ASSERT_FALSE(fs::exists(folder / "volume_gains.csv")) << "the run ended before it was killed";
    const MetaMap saved = decodeJournal(readFile(folder / "volume_gains.csv.meta.journal"));
    ASSERT_GE(saved.size(), 192u);

    writeFile(log, "");
    ASSERT_EQ(runCli(cliArguments(folder, false), cliEnvironment(dir.path())).exitStatus, 0);
    std::multiset<std::string> expected, measured;
    for (const std::string& path : library.relativePaths()) {
        if (!saved.contains(path)) expected.insert((folder / path).string());
    }
    for (const auto& [pid, file] : toolStarts(log, "ffmpeg")) measured.insert(file);
    EXPECT_EQ(measured, expected);

    const auto resumedRows = readStrictCsv(folder / "volume_gains.csv").rows;
    const std::string resumedMeta = readFile(folder / "volume_gains.csv.meta.json");
    ASSERT_EQ(runCli(cliArguments(folder, true), cliEnvironment(dir.path())).exitStatus, 0);
    EXPECT_EQ(resumedRows, readStrictCsv(folder / "volume_gains.csv").rows);
    EXPECT_EQ(resumedRows.size(), 300u);
    EXPECT_EQ(resumedMeta, readFile(folder / "volume_gains.csv.meta.json"));
}

}  // namespace
}  // namespace quellmark::test
