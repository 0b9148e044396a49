#include "media/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace quellmark {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Result<ProcessOutput> runShell(const std::string& script, double limitSeconds = 60) {
    return runProcess("/bin/sh", {"-c", script}, limitSeconds);
}

std::string failureText(const Result<ProcessOutput>& result) {
    if (result) return "(success)";
    return result.error().description();
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t openDescriptorCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// 0, 1 and 2 and whatever descriptors this process has without close-on-exec
// (a test harness may pass some down); what every child should hold.
std::set<int> inheritableDescriptors() {
    std::set<int> fds = {0, 1, 2};
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) fds.insert(fd);
    }
    return fds;
}

std::set<int> descriptorNumbers(const std::string& listing) {
    std::set<int> fds;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) fds.insert(std::stoi(line));
    return fds;
}

bool hasUnreapedChild() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD;
}

// A process that no longer runs: gone, or a zombie waiting for its new parent.
bool isGoneOrZombie(pid_t pid) {
    const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return true;
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

TEST(ProcessRunner, ReportsOutputAndStatus) {
    struct {
        const char* script;
        std::string expectedStdout, expectedStderr;
        std::string expectedFailure;  // empty: success
    } const cases[] = {
        {"printf 'out\\n'; printf 'err' >&2", "out\n", "err", ""},
        {"printf '\\377\\376ok'", "\xEF\xBF\xBD\xEF\xBF\xBDok", "", ""},
        {"printf 'a\\303b' >&2", "", "a\xEF\xBF\xBD" "b", ""},
        {"echo lots of output; echo more >&2; exit 2", "", "", "プロセスが失敗しました (status=2)"},
        {"kill -KILL $$", "", "", "プロセスが失敗しました (status=9)"},
        {"read line; echo \"read:$line:$?\"", "read::1\n", "", ""},
        // Small writes spread over time, on both pipes, as a tool's report comes.
        {"for i in 1 2 3 4 5 6; do printf \"o$i \"; printf \"e$i \" >&2; sleep 0.01; done",
         "o1 o2 o3 o4 o5 o6 ", "e1 e2 e3 e4 e5 e6 ", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const auto result = runShell(c.script);
        if (c.expectedFailure.empty()) {
            ASSERT_TRUE(result) << failureText(result);
            EXPECT_EQ(result->stdoutText, c.expectedStdout);
            EXPECT_EQ(result->stderrText, c.expectedStderr);
        } else {
            ASSERT_FALSE(result);
            ASSERT_NE(result.error().jobError(), nullptr);
            EXPECT_EQ(result.error().jobError()->kind, JobError::Kind::analysisFailed);
            EXPECT_EQ(result.error().description(), c.expectedFailure);
        }
    }
}

TEST(ProcessRunner, PassesArgumentsVerbatimAndKeepsRawBytesWhenAsked) {
    const auto result = runProcess("/bin/sh", {"-c", "printf '%s|' \"$0\" \"$@\"", "zero", "a b", "$HOME", "*", ""}, 60);
    ASSERT_TRUE(result) << failureText(result);
    EXPECT_EQ(result->stdoutText, "zero|a b|$HOME|*||");
    const auto run = runProcessCollectingStatus("/bin/sh", {"-c", "printf '\\377'; exit 3"}, 60);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, 3);
    EXPECT_EQ(run->stdoutBytes, "\xFF");
}

TEST(ProcessRunner, MegabytesOnStderrWhileStdoutStaysSilentDoNotStall) {
    // 8 MiB through a 64 KiB pipe: stalls unless stderr is drained while stdout is idle.
    const auto result = runShell("head -c 8388608 /dev/zero | tr '\\0' 'x' >&2");
    ASSERT_TRUE(result) << failureText(result);
    EXPECT_EQ(result->stdoutText, "");
    EXPECT_EQ(result->stderrText.size(), 8388608u);
    EXPECT_EQ(result->stderrText.find_first_not_of('x'), std::string::npos);
}

TEST(ProcessRunner, MissingExecutableFailsWithTheSystemError) {
    const auto before = openDescriptorCount();
    const auto result = runProcess("/nonexistent/quellmark/tool", {}, 60);
    ASSERT_FALSE(result);
    ASSERT_NE(result.error().systemError(), nullptr);
    EXPECT_EQ(*result.error().systemError(), std::error_code(ENOENT, std::system_category()));
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_FALSE(hasUnreapedChild());
}

TEST(ProcessRunner, TimeLimitStopsTheWholeGroup) {
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"sleeper that closed its outputs", "exec >&- 2>&-; exec sleep 30", "プロセスが失敗しました (status=15)"},
        {"shell waiting for its child", "sleep 30; echo never", "プロセスが失敗しました (status=15)"},
        // The wrapper itself ends at once with 0; only its grandchild holds the pipes.
        {"grandchild holding the pipes", "sleep 30 & exit 0", ""},
    };
    for (const auto& [what, script, expectedFailure] : cases) {
        SCOPED_TRACE(what);
        const auto start = Clock::now();
        const auto result = runShell(script, 0.3);
        EXPECT_LT(secondsSince(start), 20.0);
        EXPECT_EQ(failureText(result), expectedFailure.empty() ? "(success)" : expectedFailure);
    }
    EXPECT_FALSE(hasUnreapedChild());
}

TEST(ProcessRunner, ChildThatIgnoresTerminateIsKilledAfterGrace) {
    // Leader and grandchild both ignore SIGTERM; the grandchild would hold
    // the pipes for 30 s if only the leader were killed.
    const auto start = Clock::now();
    const auto result = runShell("trap '' TERM; sh -c 'trap \"\" TERM; sleep 30' & wait", 0.3);
    const double elapsed = secondsSince(start);
    EXPECT_EQ(failureText(result), "プロセスが失敗しました (status=9)");
    EXPECT_GE(elapsed, 10.0);  // never killed before the grace period
    EXPECT_LT(elapsed, 25.0);
}

TEST(ProcessRunner, NoMemberOfTheGroupOutlivesTheLimit) {
    struct {
        const char* what;
        const char* grandchild;  // runs in the background; its pid is recorded
        const char* leader;      // what the child does after starting it
    } const cases[] = {
        {"grandchild holding the pipes", "sleep 30", "wait"},
        // Gone from the pipes and deaf to SIGTERM, it would run on unwatched
        // once its leader died of the SIGTERM.
        {"grandchild ignoring SIGTERM with its outputs closed", "(trap '' TERM; exec >&- 2>&-; exec sleep 30)",
         "exec sleep 30"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        const auto pidFile = dir / "pid";
        const auto result =
            runShell(std::string(c.grandchild) + " & echo $! > '" + pidFile.string() + "'; " + c.leader, 0.3);
        EXPECT_FALSE(result);
        const pid_t grandchild = std::stoi(test::readFile(pidFile));
        // Reparented to init, which may take a moment to reap it; dead either way.
        bool isGone = false;
        for (int i = 0; i < 200 && !isGone; ++i) {
            isGone = isGoneOrZombie(grandchild);
            if (!isGone) std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(isGone);
        if (!isGone) ::kill(grandchild, SIGKILL);
    }
}

TEST(ProcessRunner, ChildGetsDefaultSignalHandlingWhateverTheCallerBlocksOrIgnores) {
    // The front end blocks SIGINT and SIGTERM in its threads; a shell ignores
    // SIGHUP and SIGPIPE for a background job. Neither may reach the tool.
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
    auto* previousHup = ::signal(SIGHUP, SIG_IGN);
    const auto atLimit = runShell("exec sleep 30", 0.3);
    const auto hangUp = runShell("kill -HUP $$; sleep 5");
    const auto interrupt = runShell("kill -INT $$; sleep 5");
    ::signal(SIGHUP, previousHup);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    EXPECT_EQ(failureText(atLimit), "プロセスが失敗しました (status=15)");
    EXPECT_EQ(failureText(hangUp), "プロセスが失敗しました (status=1)");
    EXPECT_EQ(failureText(interrupt), "プロセスが失敗しました (status=2)");
}

TEST(ProcessRunner, ConcurrentRunsDoNotInterfereOrLeak) {
    // Sixteen overlapping launches from sixteen threads: each child must hold
    // only its own three standard descriptors plus what this process lets
    // every child inherit. A pipe end of a sibling's run leaking into it would
    // keep that sibling's reader waiting as long as this child lives.
    const auto descriptorsBefore = openDescriptorCount();
    const std::set<int> expectedChildFds = inheritableDescriptors();
    constexpr int kThreads = 16;
    std::vector<std::future<Result<ProcessOutput>>> runs;
    for (int i = 0; i < kThreads; ++i) {
        runs.push_back(std::async(std::launch::async, [i] {
            const std::string n = std::to_string(i);
            return runShell("sleep 0.2; echo err" + n + " >&2; ls /proc/$$/fd; exit " + std::to_string(i % 3),
                            INFINITY);
        }));
    }
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(runs[i].wait_for(60s), std::future_status::ready);
        const auto result = runs[i].get();
        if (i % 3 == 0) {
            ASSERT_TRUE(result) << failureText(result);
            EXPECT_EQ(descriptorNumbers(result->stdoutText), expectedChildFds);
            EXPECT_EQ(result->stderrText, "err" + std::to_string(i) + "\n");
        } else {
            EXPECT_EQ(failureText(result), "プロセスが失敗しました (status=" + std::to_string(i % 3) + ")");
        }
    }
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    EXPECT_FALSE(hasUnreapedChild());
}

TEST(ProcessRunner, KillRunningProcessGroupsEndsRunningChildren) {
    auto run = std::async(std::launch::async, [] { return runShell("sleep 30", INFINITY); });
    // The child registers just after its launch; keep asking until it is hit.
    for (int i = 0; i < 500 && run.wait_for(20ms) != std::future_status::ready; ++i) killRunningProcessGroups();
    ASSERT_EQ(run.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(failureText(run.get()), "プロセスが失敗しました (status=9)");
    killRunningProcessGroups();  // nothing running: must not signal anyone
}

}  // namespace
}  // namespace quellmark
