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
        fs::create_directory(m_mountPoint);
        if (::mount("tmpfs", m_mountPoint.c_str(), "tmpfs", 0, "size=512k") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        }
        m_mounted = true;
    }
    void TearDown() override {
        if (m_mounted) ::umount2(m_mountPoint.c_str(), MNT_DETACH);
    }
    std::map<std::string, std::string> environment() const { return cliEnvironment(m_dir / "config", m_dir / "tools.log"); }
    std::map<std::string, std::string> snapshot(const fs::path& folder) const {
        std::map<std::string, std::string> files;
        for (const std::string& name : listTree(folder)) {
            files[name] = fs::is_regular_file(folder / name) ? readFile(folder / name) : "<folder>";
        }
        return files;
    }

    TempDir m_dir;
    fs::path m_mountPoint = m_dir / "small";
    bool m_mounted = false;
};

TEST_F(SmallFileSystem, DiskFullKeepsThePreviousResultsUntilThereIsRoom) {
    const fs::path folder = m_mountPoint / "music";
    // Long titles make rows of a few kilobytes, so the disk fills within the run.
    for (int i = 0; i < 20; ++i) {
        writeFile(folder / ("f" + std::to_string(i) + ".flac"),
                  "QMFAKE\ntitle=" + std::string(3000, 'a' + i % 26) + "\nlufs=-2" + std::to_string(i % 10) + ".0\n");
    }
    ASSERT_EQ(runCli(cliArguments(folder, true), environment()).exitStatus, 0);
    const std::string previousCsv = readFile(folder / "volume_gains.csv");
    const std::string previousMeta = readFile(folder / "volume_gains.csv.meta.json");

    struct statvfs space {};
    ASSERT_EQ(::statvfs(m_mountPoint.c_str(), &space), 0);
    const auto freeBytes = static_cast<long long>(space.f_bavail) * static_cast<long long>(space.f_frsize);
    const long long roomLeft = 24 * 1024;
    ASSERT_GT(freeBytes, roomLeft);
    writeFile(m_mountPoint / "filler", std::string(static_cast<size_t>(freeBytes - roomLeft), 'x'));

    const CliOutcome full = runCli(cliArguments(folder, true), environment());
    EXPECT_EQ(full.exitStatus, 1);
    EXPECT_NE(full.err.find(std::system_category().message(ENOSPC)), std::string::npos) << full.err;
    EXPECT_EQ(full.out.find("完了"), std::string::npos) << full.out;
    EXPECT_EQ(readFile(folder / "volume_gains.csv"), previousCsv);
    EXPECT_EQ(readFile(folder / "volume_gains.csv.meta.json"), previousMeta);

    fs::remove(m_mountPoint / "filler");
    const CliOutcome rerun = runCli(cliArguments(folder, false), environment());
    EXPECT_EQ(rerun.exitStatus, 0) << rerun.err;
    EXPECT_EQ(sortedDataLines(readFile(folder / "volume_gains.csv")), sortedDataLines(previousCsv));
}

TEST_F(SmallFileSystem, ReadOnlyFolderEndsWithTheErrorAndChangesNothing) {
    const fs::path folder = m_mountPoint / "music";
    for (int i = 0; i < 5; ++i) writeFile(folder / ("f" + std::to_string(i) + ".flac"), "QMFAKE\n");
    ASSERT_EQ(runCli(cliArguments(folder, true), environment()).exitStatus, 0);
    writeFile(folder / "f0.flac", "QMFAKE\nlufs=-30\n");  // one file changed: the rerun has work to do
    // Root ignores permission bits; a read-only mount refuses even root.
    ASSERT_EQ(::mount(nullptr, m_mountPoint.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    const auto before = snapshot(folder);

    for (const bool full : {false, true}) {
        const CliOutcome outcome = runCli(cliArguments(folder, full), environment());
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_NE(outcome.err.find(std::system_category().message(EROFS)), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out.find("完了"), std::string::npos) << outcome.out;
        EXPECT_EQ(snapshot(folder), before);
    }
}

}  // namespace
}  // namespace quellmark::test
