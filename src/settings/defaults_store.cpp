#include "settings/defaults_store.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "base/file_descriptor.h"

namespace fs = std::filesystem;

namespace quellmark {
namespace {

// A stored value is a few hundred bytes; anything far larger is not ours, and
// reading it whole (a link to a huge file) must not exhaust memory.
constexpr off_t kMaxValueBytes = 16 * 1024 * 1024;

// A key becomes a file name in the store's folder, so it must be one plain name.
bool isUsableKey(std::string_view key) {
    return !key.empty() && key != "." && key != ".." && key.find('/') == std::string_view::npos &&
           key.find('\0') == std::string_view::npos;
}

// Only an absolute directory is meaningful: a relative one would resolve
// against whatever the working directory happens to be.
bool isUsableFolder(const fs::path& folder) { return !folder.empty() && folder.is_absolute(); }

std::optional<fs::path> absoluteEnvPath(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    fs::path path(value);
    if (!path.is_absolute()) return std::nullopt;
    return path;
}

std::optional<fs::path> homeFolder() {
    if (auto home = absoluteEnvPath("HOME")) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
        fs::path home(found->pw_dir);
        if (home.is_absolute()) return home;
    }
    return std::nullopt;
}

// mkdir -p with 0700 for the folders it creates: the configuration of one
// user is nobody else's business.
bool makeFolders(const fs::path& folder) {
    struct stat st{};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (folder.has_parent_path() && folder.parent_path() != folder && !makeFolders(folder.parent_path())) {
        return false;
    }
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) {
        return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
}

// The rename is durable only once the folder's own entry list is on disk.
void syncFolder(const fs::path& folder) {
    const FileDescriptor fd(retryOnEintr([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (fd.isOpen()) ::fsync(fd.get());
}

}  // namespace

DefaultsStore::DefaultsStore(fs::path folder) : m_folder(std::move(folder)) {}

DefaultsStore DefaultsStore::standard() {
    // The XDG rules ignore an empty or relative XDG_CONFIG_HOME.
    if (auto config = absoluteEnvPath("XDG_CONFIG_HOME")) return DefaultsStore(*config / "quellmark");
    if (auto home = homeFolder()) return DefaultsStore(*home / ".config" / "quellmark");
    // No home at all: an empty folder makes every read miss and every write fail.
    return DefaultsStore(fs::path());
}

std::optional<std::string> DefaultsStore::data(std::string_view key) const {
    if (!isUsableFolder(m_folder) || !isUsableKey(key)) return std::nullopt;
    const fs::path file = m_folder / fs::path(std::string(key));
    const FileDescriptor fd(retryOnEintr([&] { return ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    if (!fd.isOpen()) return std::nullopt;
    // Only a regular file: a FIFO or device placed under the key must not block or stream forever.
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxValueBytes) return std::nullopt;
    std::string bytes;
    char buffer[8192];
    for (;;) {
        const ssize_t got = retryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (got < 0 || static_cast<off_t>(bytes.size()) + got > kMaxValueBytes) return std::nullopt;
        if (got == 0) break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

bool DefaultsStore::setData(std::string_view key, std::string_view bytes) {
    if (!isUsableFolder(m_folder) || !isUsableKey(key) || !makeFolders(m_folder)) return false;
    const fs::path file = m_folder / fs::path(std::string(key));
    // The temporary file lives in the same folder so that rename() replaces the
    // value in one step: a reader sees the old bytes or the new ones, never a
    // truncated file, even when the process dies half-way.
    std::string temporary = (m_folder / ("." + std::string(key) + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(temporary.c_str(), file.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(m_folder);
    return true;
}

}  // namespace quellmark
