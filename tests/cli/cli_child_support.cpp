#include "cli/cli_child.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace fs = std::filesystem;

namespace quellmark::test {

namespace {

std::vector<std::string> childEnvironment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (!overrides.contains(name)) result.push_back(text);
    }
    for (const auto& [name, value] : overrides) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

int openOutput(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + path.string());
    return fd;
}

}  // namespace

CliChild::CliChild(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                   const fs::path& workingDirectory, ErrorSink sink) {
    std::string pattern = (fs::temp_directory_path() / "quellmark-cli-child-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_scratch = pattern;

    std::vector<std::string> argv{QUELLMARK_CLI_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = childEnvironment(environment);
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envpPointers = pointers(envp);

    const int outFd = openOutput(m_scratch / "out");
    int errFd = -1;
    if (sink == ErrorSink::terminal) {
        int follower = -1;
        if (openpty(&m_terminal, &follower, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        fcntl(m_terminal, F_SETFD, FD_CLOEXEC);
        fcntl(follower, F_SETFD, FD_CLOEXEC);
        errFd = follower;
    } else {
        errFd = openOutput(m_scratch / "err");
    }
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string directory = workingDirectory.string();

    m_pid = fork();
    if (m_pid == 0) {
        dup2(nullFd, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(126);
        execve(argvPointers[0], argvPointers.data(), envpPointers.data());
        _exit(127);
    }
    ::close(outFd);
    ::close(errFd);
    ::close(nullFd);
    if (m_pid < 0) throw std::runtime_error("fork failed");
    // A terminal's buffer is small: keep reading it while the child runs.
    if (m_terminal >= 0) {
        m_terminalReader = std::thread([this] {
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::read(m_terminal, buffer, sizeof buffer);
                if (n > 0) {
                    std::lock_guard lock(m_terminalMutex);
                    m_terminalText.append(buffer, static_cast<std::size_t>(n));
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    return;  // EIO once the child and every copy of the follower end are gone
                }
            }
        });
    }
}

std::string CliChild::terminalText() const {
    std::lock_guard lock(m_terminalMutex);
    return m_terminalText;
}

CliChild::~CliChild() {
    if (!m_outcome) wait(0);
    if (m_terminal >= 0) ::close(m_terminal);
    std::error_code ec;
    fs::remove_all(m_scratch, ec);
}

void CliChild::sendSignal(int signal) const { ::kill(m_pid, signal); }

CliOutcome CliChild::wait(double limitSeconds) {
    if (m_outcome) return *m_outcome;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (m_terminalReader.joinable()) m_terminalReader.join();
    CliOutcome outcome;
    if (WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    outcome.out = readFile(m_scratch / "out");
    outcome.err = m_terminal >= 0 ? terminalText() : readFile(m_scratch / "err");
    m_outcome = outcome;
    return outcome;
}

CliOutcome runCli(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                  const fs::path& workingDirectory) {
    CliChild child(arguments, environment, workingDirectory);
    return child.wait();
}

int countLines(const std::string& text, const std::string& needle) {
    int count = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (std::string_view(text).substr(start, end - start).find(needle) != std::string_view::npos) ++count;
        start = end + 1;
    }
    return count;
}

bool waitUntil(const std::function<bool()>& condition, double limitSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool waitForLines(const fs::path& path, const std::string& needle, int count, double limitSeconds) {
    return waitUntil([&] { return countLines(readFile(path), needle) >= count; }, limitSeconds);
}

std::vector<std::string> listTree(const fs::path& folder) {
    std::vector<std::string> result;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        result.push_back(entry.path().lexically_relative(folder).string());
    }
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<std::vector<std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::size_t start = text.find('\n');
    if (start == std::string::npos) return rows;
    ++start;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> fields;
        std::size_t fieldStart = start;
        for (;;) {
            const std::size_t comma = text.find(',', fieldStart);
            if (comma == std::string::npos || comma > end) {
                fields.push_back(text.substr(fieldStart, end - fieldStart));
                break;
            }
            fields.push_back(text.substr(fieldStart, comma - fieldStart));
            fieldStart = comma + 1;
        }
        rows.push_back(std::move(fields));
        start = end + 1;
    }
    return rows;
}

}  // namespace quellmark::test
