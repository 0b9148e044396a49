#include "media/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

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
namespace fs = std::filesystem;

struct Outcome {
    std::string reason{}, out{}, err{};  // reason empty: success; err: the lines of standard error
};

/// `script` run by /bin/sh with `arg` as its $1.
Outcome runShell(const std::string& script, double limitSeconds = 60, const std::string& arg = "") {
    std::string err;
    ProcessOptions options;
    options.onStderrLine = [&](const ReportLine& line) { err.append(line.text).push_back('\n'); };
    const auto result = runProcess("/bin/sh", {"-c", script, "sh", arg}, limitSeconds, options);
    if (!result) return {result.error().reason(), "", err};
    return {"", result->stdoutText, err};
}

std::string failed(int status) { return "プロセスが失敗しました (status=" + std::to_string(status) + ")"; }
std::string repeated(std::string_view text, size_t times) {
    std::string all;
    while (times-- > 0) all += text;
    return all;
}

// The open descriptors; with `inheritableOnly`, just 0-2 and those without close-on-exec
// (a harness may pass some down), which is what every child should hold.
std::set<int> descriptors(bool inheritableOnly) {
    std::set<int> fds;
    if (inheritableOnly) fds = {0, 1, 2};
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        if (!inheritableOnly || (flags >= 0 && !(flags & FD_CLOEXEC))) fds.insert(fd);
    }
    return fds;
}

bool hasUnreapedChild() { return ::waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD; }

TEST(ProcessRunner, ReportsOutputStatusAndReason) {
    const std::string tooLong = repeated("あ", 400);
    const std::pair<std::string, Outcome> cases[] = {
        {"printf 'out\\n'; printf 'err' >&2", {"", "out\n", "err\n"}},
        {"printf '\\377\\376ok'; printf 'a\\303b' >&2", {"", "\xEF\xBF\xBD\xEF\xBF\xBDok", "a\xEF\xBF\xBD" "b\n"}},
        {"echo lots of output; echo more >&2; exit 2", {failed(2) + ": more", "", "more\n"}},
        {"kill -KILL $$", {failed(9)}},
        {"read line; echo \"read:$line:$?\"", {"", "read::1\n"}},
        {"printf '%s|' \"$0\" \"$@\"", {"", "sh||"}},  // an empty argument survives
        // Small writes spread over time on both pipes, as a tool's report comes.
        {"for i in 1 2 3 4; do printf \"o$i \"; printf \"e$i \" >&2; sleep 0.01; done",
         {"", "o1 o2 o3 o4 ", "e1 e2 e3 e4 \n"}},
        // 8 MiB through a 64 KiB pipe: stalls unless stderr is drained while stdout is idle.
        {"yes 1234567 | head -c 8388608 >&2", {"", "", repeated("1234567\n", 1 << 20)}},
        // The reason is the last line that is not blank, on one line, cut to 300 characters.
        {"printf 'first\\nlast\\tline\\033[0m\\n  \\n\\n' >&2; exit 1",
         {failed(1) + ": last line [0m", "", "first\nlast\tline\x1B[0m\n  \n\n"}},
        {"printf 'bad \\377' >&2; exit 1", {failed(1) + ": bad \xEF\xBF\xBD", "", "bad \xEF\xBF\xBD\n"}},
        {"printf '" + tooLong + "' >&2; exit 3", {failed(3) + ": " + repeated("あ", 300), "", tooLong + "\n"}},
        // A line that never ends is cut, and memory stays bounded; so is standard output.
        {"head -c 100000 /dev/zero | tr '\\0' y >&2", {"", "", repeated("y", 65536) + "\n"}},
        {"head -c 17000000 /dev/zero", {"プロセスの出力が上限 (16 MiB) を超えました"}},
    };
    for (const auto& [script, expected] : cases) {
        const auto outcome = runShell(script);
        EXPECT_TRUE(outcome.reason == expected.reason && outcome.out == expected.out && outcome.err == expected.err)
            << script << "\n" << outcome.reason << "|" << outcome.out << "|" << outcome.err.substr(0, 200);
    }
    const auto before = descriptors(false);
    EXPECT_EQ(runProcess("/nonexistent/quellmark/tool", {}, 60).error(), Error::fromErrno(ENOENT));
    EXPECT_EQ(descriptors(false), before);
    EXPECT_FALSE(hasUnreapedChild());
}

// A process that no longer runs: gone, or a zombie waiting for init to reap it.
bool isGoneOrZombie(pid_t pid) {
    const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z');
}

TEST(ProcessRunner, TimeLimitEndsEveryMemberOfTheGroupAndSignalsReachTheChild) {
    // The front end blocks SIGINT and SIGTERM in its threads; a shell ignores
    // SIGHUP for a background job. Neither may reach the tool.
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
    auto* previousHup = ::signal(SIGHUP, SIG_IGN);
    // Scripts that start a grandchild write its pid to "$1"; it must be dead afterwards.
    // waitsForGrace: SIGTERM is ignored, so only the SIGKILL 10 s later ends it.
    const std::string stopped = failed(15) + ": 上限時間 (0.3 秒) に達したため停止しました";
    const struct { const char* what; const char* script; std::string reason; bool waitsForGrace = false; } cases[] = {
        {"sleeper that closed its outputs", "exec >&- 2>&-; exec sleep 30", stopped},
        // The wrapper ends at once with 0; only its grandchild holds the pipes.
        {"grandchild holding the pipes", "sleep 30 & echo $! > \"$1\"; exit 0", ""},
        {"leader waiting for a grandchild", "sleep 30 & echo $! > \"$1\"; wait", stopped},
        // Gone from the pipes and deaf to SIGTERM, it would run on unwatched once its leader died.
        {"grandchild ignoring SIGTERM with its outputs closed",
         "(trap '' TERM; exec >&- 2>&-; exec sleep 30) & echo $! > \"$1\"; exec sleep 30", stopped},
        {"leader and grandchild ignoring SIGTERM", "trap '' TERM; sh -c 'trap \"\" TERM; sleep 30' & echo $! > \"$1\"; wait",
         failed(9) + ": 上限時間 (0.3 秒) に達したため停止しました", true},
        {"hang-up", "kill -HUP $$; sleep 5", failed(1)},
        {"interrupt", "kill -INT $$; sleep 5", failed(2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(runShell(c.script, 0.3, (dir / "pid").string()).reason, c.reason);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_TRUE(elapsed < 25.0 && (!c.waitsForGrace || elapsed >= 10.0)) << elapsed;  // never killed before the grace
        const std::string pid = test::readFile(dir / "pid");
        if (pid.empty()) continue;
        const pid_t grandchild = std::stoi(pid);
        bool isGone = false;
        for (int i = 0; i < 200 && !(isGone = isGoneOrZombie(grandchild)); ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(isGone);
        if (!isGone) ::kill(grandchild, SIGKILL);
    }
    ::signal(SIGHUP, previousHup);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    EXPECT_FALSE(hasUnreapedChild());
}

TEST(ProcessRunner, ConcurrentRunsDoNotInterfereOrLeak) {
    // Sixteen overlapping launches from sixteen threads: each child must hold only
    // what this process lets every child inherit. A sibling's pipe end leaking into
    // it would keep that sibling's reader waiting as long as this child lives.
    const auto descriptorsBefore = descriptors(false);
    const auto expectedChildFds = descriptors(true);
    std::vector<std::future<Outcome>> runs;
    for (int i = 0; i < 16; ++i) {
        runs.push_back(std::async(std::launch::async, [i] {
            return runShell("sleep 0.2; echo err$1 >&2; ls /proc/$$/fd; exit $(($1 % 3))", INFINITY, std::to_string(i));
        }));
    }
    for (int i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(runs[i].wait_for(60s), std::future_status::ready);
        const Outcome run = runs[i].get();
        EXPECT_EQ(run.reason, i % 3 ? failed(i % 3) + ": err" + std::to_string(i) : "");
        if (i % 3) continue;
        std::set<int> childFds;
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);) childFds.insert(std::stoi(line));
        EXPECT_EQ(childFds, expectedChildFds);
        EXPECT_EQ(run.err, "err" + std::to_string(i) + "\n");
    }
    EXPECT_EQ(descriptors(false), descriptorsBefore);
    EXPECT_FALSE(hasUnreapedChild());
}

}  // namespace
}  // namespace quellmark
