// quellmark-cli on a file system that fills up or refuses writes: the run ends
// with the system's message and exit status 1; the previous results stay, and
// a folder without any gets the rows that fitted.
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
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
    /// Every file of `folder` with its bytes.
    static std::map<fs::path, std::string> contents(const fs::path& folder) {
        std::map<fs::path, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) files[entry.path()] = readFile(entry.path());
        return files;
    }
    CliOutcome run(const fs::path& folder, bool full) const {
        return runCli(cliArguments(folder, full), cliEnvironment(m_dir.path()));
    }
    /// A run that must fail with the system's message for `error`.
    CliOutcome failedRun(const fs::path& folder, int error, bool full = true) const {
        const CliOutcome outcome = run(folder, full);
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_NE(outcome.err.find(std::system_category().message(error)), std::string::npos) << outcome.err;
        return outcome;
    }
    void leaveFree(long long bytes, const char* filler) const {
        struct statvfs space {};
        ASSERT_EQ(::statvfs(m_mount.c_str(), &space), 0);
        const auto freeBytes = static_cast<long long>(space.f_bavail * space.f_frsize);
        ASSERT_GT(freeBytes, bytes);
        writeFile(m_mount / filler, std::string(static_cast<size_t>(freeBytes - bytes), 'x'));
    }

    TempDir m_dir;
    fs::path m_mount = m_dir / "small";
    fs::path m_folder = m_mount / "music";
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
    ASSERT_EQ(run(m_folder, true).exitStatus, 0);
    const auto previous = contents(m_folder);
    const auto previousRows = readStrictCsv(m_folder / "volume_gains.csv").rows;
    leaveFree(24 * 1024, "filler1");
    EXPECT_EQ(failedRun(m_folder, ENOSPC).out, "");
    for (const char* result : {"volume_gains.csv", "volume_gains.csv.meta.json"}) {
        EXPECT_EQ(readFile(m_folder / result), previous.at(m_folder / result)) << result;
    }

    fs::remove(m_mount / "filler1");
    leaveFree(24 * 1024, "filler2");
    const CliOutcome fresh = failedRun(m_mount / "fresh", ENOSPC);
    EXPECT_TRUE(fresh.out.starts_with("完了: ")) << "what was written is installed: " << fresh.out;
    const StrictCsv written = readStrictCsv(m_mount / "fresh/volume_gains.csv");
    EXPECT_EQ(written.problem, "");
    EXPECT_TRUE(!written.rows.empty() && written.rows.size() < 20) << written.rows.size();

    fs::remove(m_mount / "filler2");
    EXPECT_EQ(run(m_folder, false).exitStatus, 0);
    EXPECT_EQ(readStrictCsv(m_folder / "volume_gains.csv").rows, previousRows);
}

TEST_F(SmallFileSystem, ReadOnlyFolderEndsWithTheErrorAndChangesNothing) {
    for (int i = 0; i < 5; ++i) writeFile(m_folder / ("f" + std::to_string(i) + ".flac"), "QMFAKE\n");
    ASSERT_EQ(run(m_folder, true).exitStatus, 0);
    writeFile(m_folder / "f0.flac", "QMFAKE\nlufs=-30\n");  // one file changed: the rerun has work to do
    const auto before = contents(m_folder);
    // Root ignores permission bits; a read-only mount refuses even root.
    ASSERT_EQ(::mount(nullptr, m_mount.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << std::strerror(errno);
    for (const bool full : {false, true}) {
        EXPECT_EQ(failedRun(m_folder, EROFS, full).out, "");
        EXPECT_TRUE(contents(m_folder) == before) << "the folder changed";
    }
}

}  // namespace
}  // namespace quellmark::test
