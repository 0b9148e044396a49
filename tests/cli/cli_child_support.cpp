#include "cli/cli_child.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace quellmark::test {

namespace {

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

CliChild::CliChild(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                   const fs::path& workingDirectory, ErrorSink sink) {
    // Everything the child needs is made before fork: only async-signal-safe calls after it.
    std::vector<std::string> argv{QUELLMARK_CLI_PATH}, envp;
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!environment.contains(text.substr(0, text.find('=')))) envp.push_back(text);
    }
    for (const auto& [name, value] : environment) envp.push_back(name + "=" + value);
    std::vector<char*> argvPointers = pointers(argv), envpPointers = pointers(envp);

    const int outFd = ::open((m_scratch / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    int errFd = ::open((m_scratch / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (sink == ErrorSink::terminal) {
        ::close(errFd);
        if (openpty(&m_terminal, &errFd, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        fcntl(m_terminal, F_SETFD, FD_CLOEXEC);
        fcntl(m_terminal, F_SETFL, O_NONBLOCK);
        fcntl(errFd, F_SETFD, FD_CLOEXEC);
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
}

// A terminal's buffer is small: it is read whenever the test looks, and while waiting.
const std::string& CliChild::terminalText() {
    char buffer[4096];
    for (ssize_t n; m_terminal >= 0 && (n = ::read(m_terminal, buffer, sizeof buffer)) > 0;) {
        m_terminalText.append(buffer, static_cast<std::size_t>(n));
    }
    return m_terminalText;
}

CliChild::~CliChild() {
    if (!m_outcome) wait(0);
    if (m_terminal >= 0) ::close(m_terminal);
}

void CliChild::sendSignal(int signal) const { ::kill(m_pid, signal); }

CliOutcome CliChild::wait(double limitSeconds) {
    if (m_outcome) return *m_outcome;
    int status = 0;
    if (!waitUntil([&] { return terminalText(), waitpid(m_pid, &status, WNOHANG) == m_pid; }, limitSeconds)) {
        ::kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
    }
    CliOutcome& outcome = m_outcome.emplace();
    if (WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    outcome.out = readFile(m_scratch / "out");
    outcome.err = m_terminal >= 0 ? terminalText() : readFile(m_scratch / "err");
    return outcome;
}

CliOutcome runCli(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                  const fs::path& workingDirectory, ErrorSink sink) {
    return CliChild(arguments, environment, workingDirectory, sink).wait();
}

bool waitUntil(const std::function<bool()>& condition, double limitSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::pair<pid_t, std::string>> toolRuns(const fs::path& log, const std::string& tool,
                                                    const std::string& event) {
    std::vector<std::pair<pid_t, std::string>> runs;
    std::istringstream lines(readFile(log));
    for (std::string line, name, kind, time, file; std::getline(lines, line);) {
        std::istringstream fields(line);
        pid_t pid = 0;
        if (fields >> name >> kind >> time >> pid && name == tool && kind == event &&
            std::getline(fields >> std::ws, file)) {
            runs.emplace_back(pid, file);
        }
    }
    return runs;
}

}  // namespace quellmark::test
