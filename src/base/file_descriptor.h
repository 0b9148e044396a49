#pragma once
// The one owner of a POSIX file descriptor for every layer (the writer's
// files, the runner's pipes and pidfd, the settings store), the one EINTR
// retry, and the few file helpers built on them.

#include <sys/types.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/job_error.h"

namespace quellmark {

/// Owns an open descriptor and closes it when destroyed. Closing releases any
/// flock held through it.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    /// Closes the descriptor, if any; errors of close are ignored.
    void reset();

private:
    int m_fd = -1;
};

/// Calls `call` again for as long as it fails with EINTR.
template <class Call>
auto retryOnEintr(Call&& call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

/// Writes all of `bytes` at `offset`, continuing after partial writes.
/// Returns 0 or the errno of the failing call.
int writeAllAt(int fd, std::string_view bytes, off_t offset);
/// Writes all of `bytes` at the descriptor's position (or its end with O_APPEND).
/// Returns 0 or the errno of the failing call.
int writeAll(int fd, std::string_view bytes);

/// Opens the regular file `path` with `flags | O_NOFOLLOW | O_CLOEXEC` (mode 0644
/// when created). A symbolic link, FIFO, socket or device standing at `path` is
/// removed first, so the writer never writes through a link planted in the folder
/// nor blocks on a FIFO. Fails with the system error.
Result<FileDescriptor> openWithoutFollowing(const std::filesystem::path& path, int flags);

/// The whole content of the regular file at `path`, or nullopt when it cannot be
/// opened or read (a folder, a FIFO, a permission problem, an input/output error).
std::optional<std::string> readWholeFile(const std::filesystem::path& path);
/// Opens the regular file at `path` read-only without following a symbolic link
/// and without blocking on a FIFO; nullopt for anything else at that path.
std::optional<FileDescriptor> openRegularForReading(const std::filesystem::path& path);
/// The rest of the open file `fd` from its position, or nullopt on a read error.
std::optional<std::string> readRest(const FileDescriptor& fd);

}  // namespace quellmark
