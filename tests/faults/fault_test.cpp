// quellmark-cli under faults: killed with SIGKILL near the end of a run and at
// random moments while files keep changing (QUELLMARK_FAULT_SEED=<n> replays
// one sequence of moments), and on a file system that fills up or refuses
// writes, where the run ends with the system's message and exit status 1, the
// previous results stay, and a folder without any gets the rows that fitted.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <system_error>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "output/analyze_result.h"
#include "output/meta_entry.h"
#include "support/temp_dir.h"

namespace quellmark::test {
namespace {

namespace fs = std::filesystem;

// A volume_gains.csv (or its temporary file) read strictly: the exact header,
// every line ending in a line feed and holding eleven fields, one row per
// path. `problem` is empty when it is so.
struct StrictCsv {
    std::string problem;
    std::map<std::string, std::vector<std::string>> rows;  // by relative_path
};

StrictCsv readStrictCsv(const fs::path& csvFile) {
    StrictCsv csv;
    const std::string text = readFile(csvFile);
    const std::string header = csvLine(csvHeader()) + "\n";
    if (!text.starts_with(header)) csv.problem = "header";
    if (!text.empty() && text.back() != '\n') csv.problem = "last line cut";
    for (size_t start = header.size(); csv.problem.empty() && start < text.size();) {
        const size_t end = text.find('\n', start);
        const std::vector<std::string> fields = parseCSVLine(std::string_view(text).substr(start, end - start));
        if (fields.size() != 11) csv.problem = "line of " + std::to_string(fields.size()) + " fields";
        else if (!csv.rows.emplace(fields[0], fields).second) csv.problem = "two rows for " + fields[0];
        start = end + 1;
    }
    return csv;
}

// The environment of a run: a settings folder of its own, the stand-ins' log.
std::map<std::string, std::string> cliEnvironment(const fs::path& dir) {
    return {{"XDG_CONFIG_HOME", (dir / "config").string()}, {"QM_FAKE_LOG", (dir / "tools.log").string()},
            {"LC_ALL", "C.UTF-8"}};
}

// A run over `folder` with the stand-in tools.
std::vector<std::string> cliArguments(const fs::path& folder, bool full) {
    return {"--ffmpeg", QUELLMARK_TEST_TOOLS_DIR "/ffmpeg", "--jobs", "2", full ? "--full" : "--incremental",
            folder.string()};
}

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

// A small tmpfs of its own; needs root (as in CI), skipped otherwise.
class SmallFileSystem : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
        fs::create_directory(m_mount);
        if (::mount("tmpfs", m_mount.c_str(), "tmpfs", 0, "size=512k") != 0) GTEST_SKIP() << std::strerror(errno);
        m_mounted = true;
    }
    void TearDown() override {
        if (m_mounted) ::umount2(m_mount.c_str(), MNT_DETACH);
    }
    /// Runs over `folder`; a run that must fail (`error` set) ends with status 1 and the system's message.
    CliOutcome run(const fs::path& folder, bool full, int error = 0) const {
        const CliOutcome outcome = runCli(cliArguments(folder, full), cliEnvironment(m_dir.path()));
        EXPECT_EQ(outcome.exitStatus, error ? 1 : 0) << outcome.err;
        if (error) { EXPECT_NE(outcome.err.find(std::system_category().message(error)), std::string::npos) << outcome.err; }
        return outcome;
    }
    /// Fills the disk up to the last 24 KiB.
    void fill(const char* filler) const {
        struct statvfs space {};
        ASSERT_EQ(::statvfs(m_mount.c_str(), &space), 0);
        writeFile(m_mount / filler, std::string(space.f_bavail * space.f_frsize - 24 * 1024, 'x'));
    }

    TempDir m_dir;
    fs::path m_mount = m_dir / "small";
    bool m_mounted = false;
};

TEST_F(SmallFileSystem, DiskFullKeepsThePreviousResultsUntilThereIsRoom) {
    // Long titles make rows of a few kilobytes, so the disk fills within the run.
    for (const char* folder : {"music", "fresh"}) {
        for (int i = 0; i < 20; ++i) {
            writeFile(m_mount / folder / ("f" + std::to_string(i) + ".flac"),
                      "QMFAKE\ntitle=" + std::string(3000, 'a' + i % 26) + "\nlufs=-2" + std::to_string(i % 10) + ".0\n");
        }
    }
    const fs::path music = m_mount / "music";
    const auto results = [&] { return readFile(music / "volume_gains.csv") + readFile(music / "volume_gains.csv.meta.json"); };
    run(music, true);
    const std::string previous = results();
    const auto previousRows = readStrictCsv(music / "volume_gains.csv").rows;
    fill("filler1");
    EXPECT_EQ(run(music, true, ENOSPC).out, "");
    EXPECT_EQ(results(), previous);
    fs::remove(m_mount / "filler1");
    fill("filler2");
    EXPECT_TRUE(run(m_mount / "fresh", true, ENOSPC).out.starts_with("完了: ")) << "what was written is installed";
    const StrictCsv written = readStrictCsv(m_mount / "fresh/volume_gains.csv");
    EXPECT_TRUE(written.problem.empty() && !written.rows.empty() && written.rows.size() < 20) << written.problem;

    fs::remove(m_mount / "filler2");
    run(music, false);
    EXPECT_EQ(readStrictCsv(music / "volume_gains.csv").rows, previousRows);
}

// A folder where not even the temporary CSV can be made: the run fails at its start.
TEST_F(SmallFileSystem, ReadOnlyFolderEndsWithTheError) {
    const fs::path music = m_mount / "music";
    for (int i = 0; i < 5; ++i) writeFile(music / ("f" + std::to_string(i) + ".flac"), "QMFAKE\n");
    run(music, true);
    writeFile(music / "f0.flac", "QMFAKE\nlufs=-30\n");  // one file changed: the rerun has work to do
    // Root ignores permission bits; a read-only mount refuses even root.
    ASSERT_EQ(::mount(nullptr, m_mount.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << std::strerror(errno);
    for (const bool full : {false, true}) EXPECT_EQ(run(music, full, EROFS).out, "");
}

}  // namespace
}  // namespace quellmark::test
