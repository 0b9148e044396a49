#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/job_error.h"

namespace quellmark {

/// Both output streams of a finished child, decoded as UTF-8 with invalid bytes replaced.
struct ProcessOutput {
    std::string stdoutText;
    std::string stderrText;
};

/// Runs `executable` with `arguments` (no shell), standard input from /dev/null,
/// both outputs captured whole. Blocks the calling thread until the child has
/// exited and both pipes reached end of file. The child gets a process group of
/// its own; at `timeLimitSeconds` after the launch the group gets SIGTERM, and
/// SIGKILL 10 s later if it is still there. Fails with the launch error, or with
/// "プロセスが失敗しました (status=N)" for a non-zero exit code N or death by signal N.
/// A limit of INFINITY means none. Any thread; calls share nothing.
Result<ProcessOutput> runProcess(const std::filesystem::path& executable,
                                 const std::vector<std::string>& arguments,
                                 double timeLimitSeconds);

/// SIGKILL to the process group of every tool that a runProcess call is running
/// now. For a front end that must end at once; safe from any thread (not from a
/// signal handler).
void killRunningProcessGroups();

/// The raw outcome of a child that ran to its end: its bytes as written and
/// its status (the exit code, or the number of the signal that ended it).
struct ProcessRun {
    std::string stdoutBytes;
    std::string stderrBytes;
    int status = 0;
};

/// runProcess for a caller that judges the status and the bytes itself (the
/// `which` look-up, which must see invalid UTF-8 before any repair). Fails only
/// with the launch error; a non-zero status is part of the result.
Result<ProcessRun> runProcessCollectingStatus(const std::filesystem::path& executable,
                                              const std::vector<std::string>& arguments,
                                              double timeLimitSeconds);

}  // namespace quellmark
