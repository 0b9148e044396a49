#include "media/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <mutex>
#include <set>

#include "base/text.h"
#include "base/file_descriptor.h"

extern char** environ;

namespace quellmark {
namespace {

using Clock = std::chrono::steady_clock;

// How long a process group may take to end after SIGTERM before it gets SIGKILL.
constexpr auto kKillGrace = std::chrono::seconds(10);
// A limit beyond this is no limit (and would overflow the clock's arithmetic).
constexpr double kLongestLimitSeconds = 1e9;
// Without a pidfd the exit of a child whose pipes are already closed can only
// be noticed by asking; this is how often.
constexpr int kExitCheckIntervalMs = 10;
constexpr size_t kReadChunkBytes = 64 * 1024;
// While the child runs, a pipe that held little is read again only after this
// pause. ffmpeg writes its report a few dozen bytes at a time, thousands of
// times per file; waking for each write costs a context switch on a processor
// that another tool run needs. A pipe buffer (64 KiB) holds far more than a
// tool writes in this time, and the child's exit is still seen at once.
constexpr auto kReadPause = std::chrono::milliseconds(20);
constexpr size_t kBusyPipeBytes = 16 * 1024;
// Standard output is kept whole (ffprobe's JSON); a tool that writes more than
// this is stopped rather than let grow the memory of a run without bound.
constexpr size_t kMaxStdoutBytes = 16 * 1024 * 1024;

// The process groups of the children that runProcess calls are running now.
struct GroupRegistry {
    std::mutex mutex;
    std::set<pid_t> groups;
};

GroupRegistry& runningGroups() {
    static GroupRegistry registry;
    return registry;
}

// One launched child, leader of its own process group. The child is reaped
// only at the very end: while it stays a zombie its pid, and so the group id,
// cannot be handed to another process, so signalling the group never reaches
// a stranger. Going without reap() (an exception) kills the group and reaps.
class SpawnedChild {
public:
    explicit SpawnedChild(pid_t pid) : m_pid(pid) {
        auto& registry = runningGroups();
        std::lock_guard lock(registry.mutex);
        registry.groups.insert(m_pid);
    }
    ~SpawnedChild() {
        if (m_isReaped) return;
        signalGroup(SIGKILL);
        reap();
    }
    SpawnedChild(const SpawnedChild&) = delete;
    SpawnedChild& operator=(const SpawnedChild&) = delete;

    pid_t pid() const { return m_pid; }

    void signalGroup(int signalNumber) const { ::kill(-m_pid, signalNumber); }

    /// True once the child has ended; leaves it a zombie.
    bool hasExited() const {
        siginfo_t info{};
        const int rc = retryOnEintr([&] { return ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT); });
        return rc == 0 && info.si_pid != 0;
    }

    /// Waits for the child and returns its exit code, or the signal number
    /// when a signal ended it. Leaves the registry first: after waitpid the
    /// group id may belong to someone else.
    int reap() {
        {
            auto& registry = runningGroups();
            std::lock_guard lock(registry.mutex);
            registry.groups.erase(m_pid);
        }
        int status = 0;
        const pid_t rc = retryOnEintr([&] { return ::waitpid(m_pid, &status, 0); });
        m_isReaped = true;
        if (rc != m_pid) return -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return WTERMSIG(status);
        return -1;
    }

private:
    pid_t m_pid;
    bool m_isReaped = false;
};

struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;
};

// Both ends close on exec: an end inherited by a sibling child launched from
// another thread would keep this run's reader from ever seeing end of file.
// The read end is non-blocking so that one wake-up drains all that is there.
Result<Pipe> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return fail(Error::fromErrno(errno));
    Pipe pipe{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
    const int flags = ::fcntl(pipe.readEnd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(pipe.readEnd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return fail(Error::fromErrno(errno));
    return pipe;
}

// The attributes and file actions of one launch, destroyed with it.
class SpawnSetup {
public:
    SpawnSetup(int stdoutWriteFd, int stderrWriteFd) {
        posix_spawn_file_actions_init(&m_actions);
        posix_spawnattr_init(&m_attributes);
        m_error = posix_spawn_file_actions_addopen(&m_actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (m_error == 0) m_error = posix_spawn_file_actions_adddup2(&m_actions, stdoutWriteFd, STDOUT_FILENO);
        if (m_error == 0) m_error = posix_spawn_file_actions_adddup2(&m_actions, stderrWriteFd, STDERR_FILENO);
        // An own process group keeps a terminal's Ctrl-C away from the tool and
        // lets one signal reach a wrapper script's children too. The front end
        // blocks SIGINT/SIGTERM in its threads to handle them in one place; a
        // child inheriting that mask would ignore the SIGTERM of the time limit.
        sigset_t emptyMask;
        sigemptyset(&emptyMask);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
        if (m_error == 0) m_error = posix_spawnattr_setpgroup(&m_attributes, 0);
        if (m_error == 0) m_error = posix_spawnattr_setsigmask(&m_attributes, &emptyMask);
        if (m_error == 0) m_error = posix_spawnattr_setsigdefault(&m_attributes, &defaults);
        if (m_error == 0) {
            m_error = posix_spawnattr_setflags(&m_attributes,
                                               POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        }
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&m_attributes);
        posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    /// The pid, or the error of preparing or of the launch itself.
    Result<pid_t> spawn(const std::filesystem::path& executable, const std::vector<std::string>& arguments) {
        if (m_error != 0) return fail(Error::fromErrno(m_error));
        std::vector<char*> argv;
        argv.reserve(arguments.size() + 2);
        argv.push_back(const_cast<char*>(executable.c_str()));
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int error = ::posix_spawn(&pid, executable.c_str(), &m_actions, &m_attributes, argv.data(), environ);
        if (error != 0) return fail(Error::fromErrno(error));
        return pid;
    }

private:
    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attributes;
    int m_error = 0;
};

// Reads what the pipe holds now into `onBytes`; closes it at end of file or on
// a read error. The number of bytes read.
template <class OnBytes>
size_t drainPipe(FileDescriptor& readEnd, OnBytes&& onBytes) {
    char chunk[kReadChunkBytes];
    size_t total = 0;
    for (;;) {
        const ssize_t n = retryOnEintr([&] { return ::read(readEnd.get(), chunk, sizeof chunk); });
        if (n > 0) {
            onBytes(std::string_view(chunk, static_cast<size_t>(n)));
            total += static_cast<size_t>(n);
            if (static_cast<size_t>(n) < sizeof chunk) return total;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return total;
        readEnd.reset();
        return total;
    }
}

// A descriptor that becomes readable when the child ends, so one poll sees the
// exit as well as the output. Closed (-1) on kernels before 5.3.
FileDescriptor openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
    return FileDescriptor();
#endif
}

Clock::time_point deadlineAfter(Clock::time_point start, double seconds) {
    if (!(seconds < kLongestLimitSeconds)) return Clock::time_point::max();  // INFINITY and NaN too
    if (seconds <= 0) return start;
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int millisecondsUntil(Clock::time_point when, Clock::time_point now) {
    if (when == Clock::time_point::max()) return -1;
    if (when <= now) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// The limits: SIGTERM to the child's group when one is reached, SIGKILL when
// the group is still there (the child runs or its pipes are open) 10 s later.
class LimitEnforcer {
public:
    LimitEnforcer(const SpawnedChild& child, Clock::time_point launch, double timeLimitSeconds,
                  double quietLimitSeconds)
        : m_child(child),
          m_deadline(deadlineAfter(launch, timeLimitSeconds)),
          m_quietLimitSeconds(quietLimitSeconds),
          m_lastOutput(launch) {}

    void noteOutput(Clock::time_point now) { m_lastOutput = now; }

    /// Stops the child at once for `cause`, unless it is being stopped already.
    void stop(StopCause cause, Clock::time_point now) {
        if (m_cause != StopCause::none) return;
        m_child.signalGroup(SIGTERM);
        m_cause = cause;
        m_killAt = now + kKillGrace;
    }

    /// Sends whatever signal is due at `now`.
    void enforce(Clock::time_point now) {
        const auto quietUntil = deadlineAfter(m_lastOutput, m_quietLimitSeconds);
        if (now >= std::min(m_deadline, quietUntil)) {
            stop(quietUntil < m_deadline ? StopCause::quietLimit : StopCause::timeLimit, now);
        }
        if (m_cause != StopCause::none && !m_isKilled && now >= m_killAt) {
            m_child.signalGroup(SIGKILL);
            m_isKilled = true;
        }
    }

    /// When enforce() next has something to do; max() when never.
    Clock::time_point nextStep() const {
        if (m_cause == StopCause::none) return std::min(m_deadline, deadlineAfter(m_lastOutput, m_quietLimitSeconds));
        if (!m_isKilled) return m_killAt;
        return Clock::time_point::max();
    }

    /// After the leader ended and the pipes closed: a member that ignored the
    /// SIGTERM may still run unwatched, and the group id is still reserved.
    void endStragglers() {
        if (m_cause != StopCause::none && !m_isKilled) m_child.signalGroup(SIGKILL);
    }

    StopCause cause() const { return m_cause; }

private:
    const SpawnedChild& m_child;
    Clock::time_point m_deadline;
    double m_quietLimitSeconds;
    Clock::time_point m_lastOutput;
    Clock::time_point m_killAt = Clock::time_point::max();
    StopCause m_cause = StopCause::none;
    bool m_isKilled = false;
};

// Standard error as lines: each goes to the caller's sink, and the last one
// that is not blank is kept for the failure's detail.
class StderrLines {
public:
    explicit StderrLines(const LineSink& sink)
        : m_sink([this, &sink](const ReportLine& line) {
              if (!trimWhitespace(line.text).empty()) m_lastLine.assign(line.text);
              if (sink) sink(line);
          }) {}
    StderrLines(const StderrLines&) = delete;
    StderrLines& operator=(const StderrLines&) = delete;

    void feed(std::string_view bytes) { m_splitter.feed(bytes, m_sink); }
    std::string finish() {
        m_splitter.finish(m_sink);
        return std::move(m_lastLine);
    }

private:
    ReportLineSplitter m_splitter;
    std::string m_lastLine;
    LineSink m_sink;
};

// Drains both pipes and watches the exit in one poll loop until the child has
// ended and both pipes reached end of file. The limits hold even for a child
// that closed its outputs and keeps running, and for a wrapper's grandchild
// that keeps the pipes open after the wrapper ended.
void superviseChild(SpawnedChild& child, Pipe& out, Pipe& err, LimitEnforcer& limit, ProcessRun& run,
                    StderrLines& errLines) {
    FileDescriptor pidfd = openPidfd(child.pid());
    const bool canWatchExit = pidfd.isOpen();
    bool hasExited = false;
    Clock::time_point readAgainAt = Clock::time_point::min();
    const auto keepStdout = [&](std::string_view bytes) {
        if (run.stdoutBytes.size() + bytes.size() <= kMaxStdoutBytes) {
            run.stdoutBytes.append(bytes);
        } else {
            // Past the cap the bytes are still read, so the child never blocks on a full pipe.
            limit.stop(StopCause::outputCap, Clock::now());
        }
    };
    const auto feedStderr = [&](std::string_view bytes) { errLines.feed(bytes); };
    while (out.readEnd.isOpen() || err.readEnd.isOpen() || !hasExited) {
        const auto now = Clock::now();
        limit.enforce(now);
        const bool pausing = !hasExited && now < readAgainAt;
        int timeoutMs = millisecondsUntil(pausing ? std::min(limit.nextStep(), readAgainAt) : limit.nextStep(), now);
        pollfd fds[3];
        nfds_t count = 0;
        if (!pausing && out.readEnd.isOpen()) fds[count++] = {out.readEnd.get(), POLLIN, 0};
        if (!pausing && err.readEnd.isOpen()) fds[count++] = {err.readEnd.get(), POLLIN, 0};
        if (!hasExited && canWatchExit) fds[count++] = {pidfd.get(), POLLIN, 0};
        if (!hasExited && !canWatchExit && count == 0) {
            timeoutMs = (timeoutMs < 0 || timeoutMs > kExitCheckIntervalMs) ? kExitCheckIntervalMs : timeoutMs;
        }
        // EINTR only means: look at the clock again.
        if (::poll(fds, count, timeoutMs) < 0 && errno != EINTR) {
            child.signalGroup(SIGKILL);  // cannot supervise any longer; never leave it running unwatched
            return;
        }
        size_t bytesRead = 0;
        bool didRead = false;
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == pidfd.get()) {
                hasExited = true;
            } else if (fds[i].fd == out.readEnd.get()) {
                bytesRead += drainPipe(out.readEnd, keepStdout);
                didRead = true;
            } else {
                bytesRead += drainPipe(err.readEnd, feedStderr);
                didRead = true;
            }
        }
        if (bytesRead > 0) limit.noteOutput(Clock::now());
        if (didRead && bytesRead < kBusyPipeBytes) readAgainAt = Clock::now() + kReadPause;
        if (!hasExited && !canWatchExit) hasExited = child.hasExited();
    }
    limit.endStragglers();
}

// Seconds as the texts show them: to a tenth, without trailing zeros.
std::string secondsText(double seconds) {
    char digits[32];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, std::round(seconds * 10) / 10).ptr);
}

std::string failureMessage(int status) {
    char digits[16];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, status);
    return "プロセスが失敗しました (status=" + std::string(digits, end) + ")";
}

}  // namespace

Result<ProcessRun> runProcessCollectingStatus(const std::filesystem::path& executable,
                                              const std::vector<std::string>& arguments, double timeLimitSeconds,
                                              const ProcessOptions& options) {
    auto out = makePipe();
    if (!out) return fail(out.error());
    auto err = makePipe();
    if (!err) return fail(err.error());
    pid_t pid = -1;
    {
        SpawnSetup setup(out->writeEnd.get(), err->writeEnd.get());
        auto spawned = setup.spawn(executable, arguments);
        if (!spawned) return fail(spawned.error());
        pid = *spawned;
    }
    SpawnedChild child(pid);
    LimitEnforcer limit(child, Clock::now(), timeLimitSeconds, options.quietLimitSeconds);
    // Only the child may hold the write ends, or the readers never see end of file.
    out->writeEnd.reset();
    err->writeEnd.reset();
    ProcessRun run;
    StderrLines errLines(options.onStderrLine);
    superviseChild(child, *out, *err, limit, run, errLines);
    run.lastStderrLine = errLines.finish();
    run.stopCause = limit.cause();
    run.status = child.reap();
    return run;
}

Result<ProcessOutput> runProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                                 double timeLimitSeconds, const ProcessOptions& options) {
    auto run = runProcessCollectingStatus(executable, arguments, timeLimitSeconds, options);
    if (!run) return fail(run.error());
    // Whatever the status, output past the cap is lost: no result may be read from it.
    if (run->stopCause == StopCause::outputCap) {
        return fail(JobError::analysisFailed("プロセスの出力が上限 (16 MiB) を超えました"));
    }
    if (run->status != 0) {
        JobError error = JobError::analysisFailed(failureMessage(run->status));
        switch (run->stopCause) {
            case StopCause::quietLimit:
                error.detail = secondsText(options.quietLimitSeconds) + " 秒間出力がなかったため停止しました";
                break;
            case StopCause::timeLimit:
                error.detail = "上限時間 (" + secondsText(timeLimitSeconds) + " 秒) に達したため停止しました";
                break;
            default:
                error.detail = std::move(run->lastStderrLine);
        }
        return fail(std::move(error));
    }
    return ProcessOutput{repairUtf8(run->stdoutBytes)};
}

void killRunningProcessGroups() {
    auto& registry = runningGroups();
    std::lock_guard lock(registry.mutex);
    for (pid_t group : registry.groups) ::kill(-group, SIGKILL);
}

}  // namespace quellmark
