#pragma once
// Runs quellmark-cli as a child process for the command-line tests.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quellmark::test {

/// How a child ended and what it printed.
struct CliOutcome {
    /// The exit status, or -1 when a signal ended the child.
    int exitStatus = -1;
    int signal = 0;
    std::string out;
    std::string err;
};

/// Where the child's standard error goes.
enum class ErrorSink { file, terminal };

/// One running quellmark-cli. The environment is the test's own with the
/// given variables replaced (an empty value sets the variable to "");
/// standard input is /dev/null.
class CliChild {
public:
    CliChild(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
             const std::filesystem::path& workingDirectory = {}, ErrorSink sink = ErrorSink::file);
    ~CliChild();
    CliChild(const CliChild&) = delete;
    CliChild& operator=(const CliChild&) = delete;

    pid_t pid() const { return m_pid; }
    void sendSignal(int signal) const;
    /// What the child has written to its terminal so far (ErrorSink::terminal).
    std::string terminalText() const;
    /// Waits for the child; gives up after `limitSeconds` (kills it, and the
    /// outcome then has exitStatus -1 and signal SIGKILL).
    CliOutcome wait(double limitSeconds = 120);

private:
    pid_t m_pid = -1;
    std::filesystem::path m_scratch;
    int m_terminal = -1;
    mutable std::mutex m_terminalMutex;
    std::string m_terminalText;
    std::thread m_terminalReader;
    std::optional<CliOutcome> m_outcome;
};

/// Runs quellmark-cli to its end.
CliOutcome runCli(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                  const std::filesystem::path& workingDirectory = {});

/// Waits until `condition` holds; false when `limitSeconds` pass first.
bool waitUntil(const std::function<bool()>& condition, double limitSeconds = 60);

/// Waits until `path` holds at least `count` lines containing `needle`;
/// false when `limitSeconds` pass first.
bool waitForLines(const std::filesystem::path& path, const std::string& needle, int count, double limitSeconds = 60);

/// Lines of `text` containing `needle`.
int countLines(const std::string& text, const std::string& needle);

/// Every file and folder below `folder`, relative, sorted.
std::vector<std::string> listTree(const std::filesystem::path& folder);

/// The data lines of a CSV text (header dropped), each split at commas; the
/// test files use no quoted fields.
std::vector<std::vector<std::string>> csvRows(const std::string& text);

}  // namespace quellmark::test
