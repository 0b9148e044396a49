// quellmark-cli killed with SIGKILL at random moments while files keep
// changing: after every kill the folder holds a complete CSV and a meta file
// that vouches only for rows measured from the very version it records, and a
// last incremental run ends exactly where a fresh run does.
// QUELLMARK_FAULT_SEED=<n> replays one sequence of moments.
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "faults/fault_support.h"
#include "support/temp_dir.h"

namespace quellmark::test {
namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 120;

// Every meta entry must belong to an "ok" row of the CSV beside it, and carry
// the stamp the file had when that row was measured: an entry paired with
// another version's row would carry a stale gain over for good.
void expectConsistentFolder(const FakeLibrary& library) {
    const StrictCsv csv = readStrictCsv(library.folder() / "volume_gains.csv");
    ASSERT_EQ(csv.problem, "");
    const fs::path metaFile = library.folder() / "volume_gains.csv.meta.json";
    if (!fs::exists(metaFile)) return;  // a crash while installing leaves none: everything is measured again
    const auto meta = decodeMetaMap(readFile(metaFile));
    ASSERT_TRUE(meta) << "meta file does not decode";
    for (const auto& [path, entry] : *meta) {
        const auto row = csv.rows.find(path);
        ASSERT_NE(row, csv.rows.end()) << path << " has an entry but no row";
        EXPECT_EQ(row->second[8], "ok") << path;
        const std::string& title = row->second[2];  // "f3 v2"
        const auto version = std::strtoul(title.c_str() + title.rfind(" v") + 2, nullptr, 10);
        EXPECT_TRUE(version < library.stamps(path).size() && library.stamps(path)[version] == entry) << path << " " << title;
    }
}

TEST(RandomKill, EveryKillLeavesAConsistentFolderAndTheLastRunCatchesUp) {
    const char* seedText = std::getenv("QUELLMARK_FAULT_SEED");
    const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : std::random_device{}();
    std::cout << "QUELLMARK_FAULT_SEED=" << seed << std::endl;
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);

    TempDir dir;
    FakeLibrary library(dir / "music", kFiles, 0.005);
    const auto csvAfter = [&](bool full) {
        EXPECT_EQ(runCli(cliArguments(library.folder(), full), cliEnvironment(dir.path())).exitStatus, 0);
        return readStrictCsv(library.folder() / "volume_gains.csv").rows;
    };
    csvAfter(true);
    for (int kill = 0; kill < 30; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        for (int changed = 0; changed < 6; ++changed) library.rewrite(static_cast<int>(random() % kFiles));
        const bool full = random() % 5 == 0;
        const double killAfterSeconds = static_cast<double>(random() % 701) / 1000;
        CliChild(cliArguments(library.folder(), full), cliEnvironment(dir.path())).wait(killAfterSeconds);  // SIGKILL at the limit
        expectConsistentFolder(library);
        if (HasFatalFailure()) return;
    }
    const auto caughtUp = csvAfter(false);
    EXPECT_EQ(caughtUp, csvAfter(true));
}

}  // namespace
}  // namespace quellmark::test
