#pragma once
// Runs quellmark-cli as a child process for the command-line and fault tests.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quellmark::test {

/// How a child ended and what it printed.
struct CliOutcome {
    int exitStatus = -1;  ///< -1 when a signal ended the child
    int signal = 0;
    std::string out;
    std::string err;
};

/// Where the child's standard error goes.
enum class ErrorSink { file, terminal };

/// One running quellmark-cli. The environment is the test's own with the
/// given variables replaced; standard input is /dev/null.
class CliChild {
public:
    CliChild(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
             const std::filesystem::path& workingDirectory = {}, ErrorSink sink = ErrorSink::file);
    ~CliChild();
    CliChild(const CliChild&) = delete;
    CliChild& operator=(const CliChild&) = delete;

    void sendSignal(int signal) const;
    /// What the child has written to its terminal so far (ErrorSink::terminal).
    const std::string& terminalText();
    /// Waits for the child; after `limitSeconds` kills it (signal SIGKILL).
    CliOutcome wait(double limitSeconds = 120);

private:
    pid_t m_pid = -1;
    TempDir m_scratch;  ///< the child's output files
    int m_terminal = -1;
    std::string m_terminalText;
    std::optional<CliOutcome> m_outcome;
};

/// Runs quellmark-cli to its end.
CliOutcome runCli(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                  const std::filesystem::path& workingDirectory = {}, ErrorSink sink = ErrorSink::file);

/// Waits until `condition` holds; false when `limitSeconds` pass first.
bool waitUntil(const std::function<bool()>& condition, double limitSeconds = 60);
/// The pid and file of each "<tool> <event> <time> <pid> <file>" line of a stand-in log.
std::vector<std::pair<pid_t, std::string>> toolRuns(const std::filesystem::path& log, const std::string& tool,
                                                    const std::string& event);

}  // namespace quellmark::test
