#pragma once

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "base/job_error.h"
#include "media/report_lines.h"

namespace quellmark {

/// What a run does besides its time limit from the launch.
struct ProcessOptions {
    /// The child is stopped once this long has passed without a byte on either
    /// pipe; INFINITY means never.
    double quietLimitSeconds = INFINITY;
    /// Receives each line of standard error as it arrives, on the calling
    /// thread; the lines are not kept. Empty: the lines are dropped.
    LineSink onStderrLine;
};

/// A child's standard output, decoded as UTF-8 with invalid bytes replaced.
struct ProcessOutput {
    std::string stdoutText;
};

/// Runs `executable` with `arguments` (no shell), standard input from /dev/null.
/// Blocks the calling thread until the child has exited and both pipes reached
/// end of file. Standard output is kept whole, up to 16 MiB; standard error goes
/// line by line to `options.onStderrLine`. The child gets a process group of its
/// own; the runner stops it (SIGTERM to the group, SIGKILL 10 s later if it is
/// still there) at `timeLimitSeconds` after the launch, after the quiet limit,
/// or once its standard output passes 16 MiB. A limit of INFINITY means none.
/// Fails with the launch error; with "プロセスが失敗しました (status=N)" for a
/// non-zero exit code N or death by signal N, its detail the last non-empty line
/// of standard error, or which limit stopped the child; or with
/// "プロセスの出力が上限 (16 MiB) を超えました". Any thread; calls share nothing.
Result<ProcessOutput> runProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                                 double timeLimitSeconds, const ProcessOptions& options = {});

/// SIGKILL to the process group of every tool that a runProcess call is running
/// now. For a front end that must end at once; safe from any thread (not from a
/// signal handler).
void killRunningProcessGroups();

/// Why the runner stopped a child.
enum class StopCause { none, timeLimit, quietLimit, outputCap };

/// The raw outcome of a child that ran to its end.
struct ProcessRun {
    /// Standard output as written (cut at 16 MiB).
    std::string stdoutBytes;
    /// The exit code, or the number of the signal that ended the child.
    int status = 0;
    StopCause stopCause = StopCause::none;
    /// The last line of standard error that is not blank, repaired UTF-8.
    std::string lastStderrLine;
};

/// runProcess for a caller that judges the status and the bytes itself (the
/// `which` look-up, which must see invalid UTF-8 before any repair). Fails only
/// with the launch error; a non-zero status is part of the result.
Result<ProcessRun> runProcessCollectingStatus(const std::filesystem::path& executable,
                                              const std::vector<std::string>& arguments, double timeLimitSeconds,
                                              const ProcessOptions& options = {});

}  // namespace quellmark
