#include "base/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quellmark {

void FileDescriptor::reset() {
    // close is never retried: on Linux the descriptor is gone even after EINTR.
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

int writeAllAt(int fd, std::string_view bytes, off_t offset) {
    while (!bytes.empty()) {
        const ssize_t n = retryOnEintr([&] { return ::pwrite(fd, bytes.data(), bytes.size(), offset); });
        if (n < 0) return errno;
        // A regular file accepts at least one byte or fails; guard against a loop anyway.
        if (n == 0) return EIO;
        bytes.remove_prefix(static_cast<size_t>(n));
        offset += n;
    }
    return 0;
}

int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = retryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (n < 0) return errno;
        if (n == 0) return EIO;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

Result<FileDescriptor> openWithoutFollowing(const std::filesystem::path& path, int flags) {
    // Someone may plant a link again between the unlink and the open; O_NOFOLLOW
    // then fails with ELOOP and a few more rounds settle it.
    constexpr int kAttempts = 8;
    for (int attempt = 0;; ++attempt) {
        struct stat st {};
        // A FIFO standing there would block the open (or the write) forever;
        // like a link, it is no file of ours and is removed.
        if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) &&
            ::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return fail(Error::fromErrno(errno));
        }
        // O_NONBLOCK covers a FIFO planted after the check; it changes nothing for a regular file.
        FileDescriptor fd(
            retryOnEintr([&] { return ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644); }));
        if (fd.isOpen()) {
            if (::fstat(fd.get(), &st) != 0) return fail(Error::fromErrno(errno));
            if (S_ISREG(st.st_mode)) return fd;
            errno = ENXIO;
        }
        if ((errno != ELOOP && errno != ENXIO) || attempt + 1 >= kAttempts) return fail(Error::fromErrno(errno));
    }
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    // O_NONBLOCK: a FIFO planted under a result file's name must not hang the
    // run in open; only a regular file is read.
    const FileDescriptor fd(retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    if (!fd.isOpen()) return std::nullopt;
    return readRest(fd);
}

std::optional<FileDescriptor> openRegularForReading(const std::filesystem::path& path) {
    FileDescriptor fd(
        retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW); }));
    if (!fd.isOpen()) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return fd;
}

std::optional<std::string> readRest(const FileDescriptor& fd) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::string bytes;
    // One read of the known size, plus one to see the end; a file that grows meanwhile still reads whole.
    bytes.resize(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0) + 1);
    size_t used = 0;
    for (;;) {
        if (used == bytes.size()) bytes.resize(bytes.size() * 2);
        const ssize_t n = retryOnEintr([&] { return ::read(fd.get(), bytes.data() + used, bytes.size() - used); });
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    bytes.resize(used);
    return bytes;
}

}  // namespace quellmark
