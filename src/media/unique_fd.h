#pragma once
// A move-only owner of one file descriptor, for the process runner's pipes and
// pidfd: every path out of a run, early returns and exceptions included,
// closes what it opened.

#include <unistd.h>

#include <utility>

namespace quellmark {

/// Owns `fd` (or nothing when -1) and closes it when it goes. Not thread-safe.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

    /// Closes the descriptor now. A failed close is ignored: on Linux the
    /// descriptor is released even then, and retrying could close a stranger's.
    void reset() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

}  // namespace quellmark
