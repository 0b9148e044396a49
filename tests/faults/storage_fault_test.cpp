// quellmark-cli on a file system that fills up or refuses writes: the run ends
// with the system's message and exit status 1, and the previous results stay.
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
    /// The folder's files with their bytes; only the results unless `all`.
    std::map<std::string, std::string> snapshot(bool all) const {
        std::map<std::string, std::string> files;
        for (const std::string& name : listTree(m_folder)) {
            if (all || name == "volume_gains.csv" || name == "volume_gains.csv.meta.json") {
                files[name] = readFile(m_folder / name);
            }
        }
        return files;
    }
    /// A run that must fail with the system's message for `error`, leaving
    /// the results (or, for `all`, every file) as they were.
    void expectFailedRun(bool full, int error, bool all) const {
        const auto before = snapshot(all);
        const CliOutcome outcome = run(full);
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_NE(outcome.err.find(std::system_category().message(error)), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out.find("完了"), std::string::npos) << outcome.out;
        EXPECT_TRUE(snapshot(all) == before) << "the folder changed";
    }
    CliOutcome run(bool full) const {
        return runCli(cliArguments(m_folder, full), cliEnvironment(m_dir.path(), "tools.log"));
    }

    TempDir m_dir;
    fs::path m_mount = m_dir / "small";
    fs::path m_folder = m_mount / "music";
    bool m_mounted = false;
};

TEST_F(SmallFileSystem, DiskFullKeepsThePreviousResultsUntilThereIsRoom) {
    // Long titles make rows of a few kilobytes, so the disk fills within the run.
    for (int i = 0; i < 20; ++i) {
        writeFile(m_folder / ("f" + std::to_string(i) + ".flac"),
                  "QMFAKE\ntitle=" + std::string(3000, 'a' + i % 26) + "\nlufs=-2" + std::to_string(i % 10) + ".0\n");
    }
    ASSERT_EQ(run(true).exitStatus, 0);
    const auto previousRows = readStrictCsv(m_folder / "volume_gains.csv").rows;
    struct statvfs space {};
    ASSERT_EQ(::statvfs(m_mount.c_str(), &space), 0);
    const auto freeBytes = static_cast<long long>(space.f_bavail * space.f_frsize);
    ASSERT_GT(freeBytes, 24 * 1024);
    writeFile(m_mount / "filler", std::string(static_cast<size_t>(freeBytes - 24 * 1024), 'x'));

    expectFailedRun(true, ENOSPC, false);
    fs::remove(m_mount / "filler");
    EXPECT_EQ(run(false).exitStatus, 0);
    EXPECT_EQ(readStrictCsv(m_folder / "volume_gains.csv").rows, previousRows);
}

TEST_F(SmallFileSystem, ReadOnlyFolderEndsWithTheErrorAndChangesNothing) {
    for (int i = 0; i < 5; ++i) writeFile(m_folder / ("f" + std::to_string(i) + ".flac"), "QMFAKE\n");
    ASSERT_EQ(run(true).exitStatus, 0);
    writeFile(m_folder / "f0.flac", "QMFAKE\nlufs=-30\n");  // one file changed: the rerun has work to do
    // Root ignores permission bits; a read-only mount refuses even root.
    ASSERT_EQ(::mount(nullptr, m_mount.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << std::strerror(errno);
    for (const bool full : {false, true}) expectFailedRun(full, EROFS, true);
}

}  // namespace
}  // namespace quellmark::test
