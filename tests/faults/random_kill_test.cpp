// quellmark-cli killed with SIGKILL at random moments while files keep
// changing: after every kill the folder holds a complete CSV and a meta file
// that vouches only for rows measured from the very version it records, and a
// last incremental run ends exactly where a fresh run does.
// QUELLMARK_FAULT_SEED=<n> replays one sequence of moments.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "faults/fault_support.h"
#include "support/temp_dir.h"

namespace quellmark::test {
namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 120;
constexpr int kKills = 30;

unsigned chosenSeed() {
    if (const char* text = std::getenv("QUELLMARK_FAULT_SEED")) return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    return std::random_device{}();
}

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
        EXPECT_EQ(library.stampOf(path, versionInTitle(row->second[2])), entry) << path << " " << row->second[2];
    }
}

TEST(RandomKill, EveryKillLeavesAConsistentFolderAndTheLastRunCatchesUp) {
    const unsigned seed = chosenSeed();
    std::cout << "QUELLMARK_FAULT_SEED=" << seed << std::endl;
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);

    TempDir dir;
    FakeLibrary library(dir / "music", kFiles, 0.005);
    const auto environment = cliEnvironment(dir / "config", dir / "tools.log");
    ASSERT_EQ(runCli(cliArguments(library.folder(), true), environment).exitStatus, 0);

    std::uniform_int_distribution<int> anyFile(0, kFiles - 1);
    std::uniform_int_distribution<int> killAfterMs(0, 700);
    for (int kill = 0; kill < kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        for (int changed = 0; changed < 6; ++changed) library.rewrite(anyFile(random));
        const bool full = random() % 5 == 0;
        const int delayMs = killAfterMs(random);
        {
            CliChild child(cliArguments(library.folder(), full), environment);
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            child.sendSignal(SIGKILL);
            child.wait();
        }
        expectConsistentFolder(library);
        if (HasFatalFailure()) return;
    }

    const CliOutcome last = runCli(cliArguments(library.folder(), false), environment);
    ASSERT_EQ(last.exitStatus, 0) << last.err;
    const std::string caughtUp = readFile(library.folder() / "volume_gains.csv");
    const CliOutcome fresh = runCli(cliArguments(library.folder(), true), environment);
    ASSERT_EQ(fresh.exitStatus, 0) << fresh.err;
    EXPECT_EQ(sortedDataLines(caughtUp), sortedDataLines(readFile(library.folder() / "volume_gains.csv")));
    for (const auto& [path, row] : readStrictCsv(library.folder() / "volume_gains.csv").rows) {
        EXPECT_EQ(versionInTitle(row[2]), library.currentVersion(path)) << path;
    }
}

}  // namespace
}  // namespace quellmark::test
