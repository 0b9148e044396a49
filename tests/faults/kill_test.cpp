// quellmark-cli killed with SIGKILL: near the end of a run, and at random
// moments while files keep changing. QUELLMARK_FAULT_SEED=<n> replays one
// sequence of random moments.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "faults/fault_support.h"
#include "output/meta_entry.h"
#include "support/temp_dir.h"

namespace quellmark::test {
namespace {

namespace fs = std::filesystem;

// Stand-in audio files named "f<i>.flac" (a few in a subfolder). Every rewrite
// gives the file a new version, visible in its title ("f3 v2"), a new
// loudness and a modification time no other version shares.
struct FakeLibrary {
    FakeLibrary(fs::path folder, int count, double ffmpegDelaySeconds) : folder(std::move(folder)), delay(ffmpegDelaySeconds) {
        for (int i = 0; i < count; ++i) {
            const std::string name = "f" + std::to_string(i) + ".flac";
            paths.push_back(i % 10 == 9 ? "sub/" + name : name);
            rewrite(i);
        }
    }
    void rewrite(int index) {
        const std::string& path = paths.at(static_cast<size_t>(index));
        const int version = static_cast<int>(stamps[path].size());
        const fs::path file = folder / path;
        writeFile(file, "QMFAKE\ntitle=" + fs::path(path).stem().string() + " v" + std::to_string(version) + "\nlufs=-" +
                            std::to_string(10 + (index + version) % 25) + "." + std::to_string(version % 10) +
                            "\nffmpeg_delay=" + std::to_string(delay) + "\n");
        // The clock's coarse tick could give two versions one stamp; every version
        // gets a time of its own instead, down to the nanosecond.
        static long long counter = 0;
        ++counter;
        const timespec time{1'600'000'000 + counter, (counter * 7919) % 1'000'000'000};
        const timespec times[2] = {time, time};
        if (::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) throw std::runtime_error("utimensat");
        stamps[path].push_back(fileStamp(file));
    }

    const fs::path folder;
    const double delay;
    std::vector<std::string> paths;
    std::map<std::string, std::vector<MetaEntry>> stamps;  ///< every version's, by path
};

// The rerun measures only what the killed run had not saved, and ends with the
// rows and the meta file a fresh run gives.
TEST(Kill, RerunMeasuresOnlyFilesWithoutASavedEntry) {
    TempDir dir;
    const FakeLibrary library(dir / "music", 300, 0.02);
    const fs::path folder = library.folder, log = dir / "tools.log";
    {
        CliChild child(cliArguments(folder, false), cliEnvironment(dir.path()));
        ASSERT_TRUE(waitUntil([&] { return toolRuns(log, "ffmpeg", "end").size() >= 270; }));
        child.sendSignal(SIGKILL);
        ASSERT_EQ(child.wait().signal, SIGKILL);
    }
    ASSERT_FALSE(fs::exists(folder / "volume_gains.csv")) << "the run ended before it was killed";
    const MetaMap saved = decodeJournal(readFile(folder / "volume_gains.csv.meta.journal"));
    ASSERT_GE(saved.size(), 192u);
    writeFile(log, "");
    ASSERT_EQ(runCli(cliArguments(folder, false), cliEnvironment(dir.path())).exitStatus, 0);
    std::multiset<std::string> expected, measured;
    for (const std::string& path : library.paths) {
        if (!saved.contains(path)) expected.insert((folder / path).string());
    }
    for (const auto& [pid, file] : toolRuns(log, "ffmpeg", "start")) measured.insert(file);
    EXPECT_EQ(measured, expected);

    const auto resumedRows = readStrictCsv(folder / "volume_gains.csv").rows;
    const std::string resumedMeta = readFile(folder / "volume_gains.csv.meta.json");
    ASSERT_EQ(runCli(cliArguments(folder, true), cliEnvironment(dir.path())).exitStatus, 0);
    EXPECT_EQ(resumedRows.size(), 300u);
    EXPECT_EQ(resumedRows, readStrictCsv(folder / "volume_gains.csv").rows);
    EXPECT_EQ(resumedMeta, readFile(folder / "volume_gains.csv.meta.json"));
}

// After every kill the folder holds a complete CSV and a meta file whose every
// entry belongs to an "ok" row and carries the stamp of the very version that
// row was measured from: an entry paired with another version's row would
// carry a stale gain over for good. A last incremental run ends where a fresh one does.
TEST(Kill, EveryRandomKillLeavesAConsistentFolderAndTheLastRunCatchesUp) {
    const char* seedText = std::getenv("QUELLMARK_FAULT_SEED");
    const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : std::random_device{}();
    std::cout << "QUELLMARK_FAULT_SEED=" << seed << std::endl;
    std::mt19937 random(seed);
    TempDir dir;
    FakeLibrary library(dir / "music", 120, 0.005);
    const auto csvAfter = [&](bool full) {
        EXPECT_EQ(runCli(cliArguments(library.folder, full), cliEnvironment(dir.path())).exitStatus, 0);
        return readStrictCsv(library.folder / "volume_gains.csv").rows;
    };
    csvAfter(true);
    for (int kill = 0; kill < 30; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        for (int changed = 0; changed < 6; ++changed) library.rewrite(static_cast<int>(random() % 120));
        const bool full = random() % 5 == 0;
        CliChild(cliArguments(library.folder, full), cliEnvironment(dir.path())).wait((random() % 701) / 1000.0);
        const StrictCsv csv = readStrictCsv(library.folder / "volume_gains.csv");
        ASSERT_EQ(csv.problem, "");
        // A crash while installing leaves no meta file: everything is measured again.
        const fs::path metaFile = library.folder / "volume_gains.csv.meta.json";
        const auto meta = fs::exists(metaFile) ? decodeMetaMap(readFile(metaFile)) : MetaMap{};
        ASSERT_TRUE(meta) << "meta file does not decode";
        for (const auto& [path, entry] : *meta) {
            ASSERT_TRUE(csv.rows.contains(path)) << path << " has an entry but no row";
            const auto& row = csv.rows.at(path);
            const auto version = std::strtoul(row[2].c_str() + row[2].rfind(" v") + 2, nullptr, 10);  // title "f3 v2"
            EXPECT_EQ(row[8], "ok") << path;
            EXPECT_TRUE(version < library.stamps.at(path).size() && library.stamps.at(path)[version] == entry) << path;
        }
    }
    const auto caughtUp = csvAfter(false);
    EXPECT_EQ(caughtUp, csvAfter(true));
}

}  // namespace
}  // namespace quellmark::test
