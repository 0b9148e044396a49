// quellmark-cli on a file system that fills up or refuses writes: the run ends
// with the system's message and exit status 1; the previous results stay, and
// a folder without any gets the rows that fitted.
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <system_error>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "faults/fault_support.h"
#include "support/temp_dir.h"

namespace quellmark::test {
namespace {

namespace fs = std::filesystem;

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
