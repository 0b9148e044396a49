#include "engine/folder_scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <unordered_map>

#include <utf8proc.h>

#include "base/text.h"

namespace quellmark {
namespace {

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void lowerAsciiInPlace(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

// The text after the last "." of a file name; empty when there is none, and
// also for "name." (an empty extension then matches only an empty member).
std::string_view extensionOf(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
}

// Extensions are nearly always ASCII, where lower-casing the bytes is the whole
// job. A non-ASCII one is lowered code point by code point (Unicode simple case
// mapping), so "FLÄC" finds "fläc". Bytes that are not UTF-8 have no case
// beyond their ASCII letters; they are kept as they are and can only match a
// member with the very same bytes.
std::string lowerExtension(std::string_view extension) {
    std::string lowered(extension);
    if (isAscii(extension) || !isValidUtf8(extension)) {
        lowerAsciiInPlace(lowered);
        return lowered;
    }
    lowered.clear();
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(extension.data());
    auto remaining = static_cast<utf8proc_ssize_t>(extension.size());
    while (remaining > 0) {
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t used = utf8proc_iterate(bytes, remaining, &codePoint);
        if (used <= 0) return std::string(extension);  // cannot happen for valid UTF-8
        utf8proc_uint8_t encoded[4];
        const auto length = utf8proc_encode_char(utf8proc_tolower(codePoint), encoded);
        lowered.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(length));
        bytes += used;
        remaining -= used;
    }
    return lowered;
}

// The sort key of a path: its NFD form after invalid UTF-8 is replaced by
// U+FFFD. It is kept as UTF-8 because comparing valid UTF-8 byte by byte gives
// exactly the order of the code points, and saves decoding to 32-bit units.
std::string nfdKey(const std::string& path) {
    std::string text = isValidUtf8(path) ? path : repairUtf8(path);
    utf8proc_uint8_t* decomposed = nullptr;
    const utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                     &decomposed, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
    if (length >= 0) text.assign(reinterpret_cast<const char*>(decomposed), static_cast<size_t>(length));
    std::free(decomposed);
    return text;
}

}  // namespace

/// Fills a FileList as the walk finds paths, then sorts it.
class FileListBuilder {
public:
    void add(std::string_view prefix, std::string_view name) {
        m_list.m_order.push_back({m_list.m_bytes.size(), prefix.size() + name.size()});
        m_list.m_bytes.append(prefix);
        m_list.m_bytes.append(name);
        m_list.m_bytes.push_back('\0');
    }
    FileList sorted();

private:
    FileList m_list;
};

namespace {

// Walks the tree one folder at a time, holding a single descriptor, so that a
// deep tree cannot run the process out of descriptors.
class Walker {
public:
    Walker(const std::set<std::string>& extensions, std::vector<std::string>* foldersWithResults,
           FileListBuilder& found)
        : m_extensions(extensions), m_foldersWithResults(foldersWithResults), m_found(found) {}

    /// False when `root` cannot be opened for reading.
    bool walk(const std::string& root) {
        const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || !readFolder(fd, root)) return false;
        m_isRoot = false;
        while (!m_pending.empty()) {
            const std::string folder = std::move(m_pending.back());
            m_pending.pop_back();
            // O_NOFOLLOW: an entry that was a folder when listed and has become a
            // symbolic link since must not lead the walk out of the tree.
            const int child = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0) readFolder(child, folder);  // unreadable folders are passed over
        }
        return true;
    }

private:
    // Takes ownership of `fd`.
    bool readFolder(int fd, const std::string& folder) {
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return false;
        }
        const std::string prefix = folder == "/" ? folder : folder + "/";
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name(entry->d_name);
            // Hidden entries, "." and ".." included, are neither listed nor entered.
            if (name.empty() || name.front() == '.') continue;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) type = typeWithoutFollowing(::dirfd(dir), entry->d_name);
            if (type == DT_DIR) {
                m_pending.push_back(prefix + entry->d_name);
            } else if (type == DT_REG && m_extensions.contains(lowerExtension(extensionOf(name)))) {
                m_found.add(prefix, name);
            } else if (m_foldersWithResults && !m_isRoot && name == "volume_gains.csv") {
                m_foldersWithResults->push_back(folder);
            }
        }
        ::closedir(dir);
        return true;
    }

    // Some file systems do not report entry types; lstat's answer then, never
    // stat's, so that a link is seen as a link and not as what it points to.
    static unsigned char typeWithoutFollowing(int dirFd, const char* name) {
        struct stat st{};
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
        if (S_ISREG(st.st_mode)) return DT_REG;
        if (S_ISDIR(st.st_mode)) return DT_DIR;
        return DT_UNKNOWN;
    }

    const std::set<std::string>& m_extensions;
    std::vector<std::string>* m_foldersWithResults;
    bool m_isRoot = true;
    std::vector<std::string> m_pending;
    FileListBuilder& m_found;
};

std::string withoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

FileList FileListBuilder::sorted() {
    FileList list = std::move(m_list);
    const auto pathOf = [&](const FileList::Span& span) { return std::string_view(list.m_bytes).substr(span.start, span.length); };
    // Each key is computed once: normalisation is far dearer than a comparison.
    // Only paths beyond ASCII need one (nearly none, in most libraries).
    std::unordered_map<std::size_t, std::string> keys;
    for (const FileList::Span& span : list.m_order) {
        const std::string_view path = pathOf(span);
        if (!isAscii(path)) keys.emplace(span.start, nfdKey(std::string(path)));
    }
    const auto keyOf = [&](const FileList::Span& span) -> std::string_view {
        if (keys.empty()) return pathOf(span);
        const auto key = keys.find(span.start);
        return key == keys.end() ? pathOf(span) : std::string_view(key->second);
    };
    // Raw bytes break ties between different names that read the same, such as
    // two non-UTF-8 names that both decode to U+FFFD: (key, bytes) is a strict
    // total order, whatever the names hold.
    std::sort(list.m_order.begin(), list.m_order.end(), [&](const FileList::Span& a, const FileList::Span& b) {
        if (const int byKey = keyOf(a).compare(keyOf(b)); byKey != 0) return byKey < 0;
        return pathOf(a) < pathOf(b);
    });
    return list;
}

std::vector<std::string> FileList::strings() const {
    std::vector<std::string> paths;
    paths.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) paths.emplace_back((*this)[i]);
    return paths;
}

Result<FileList> scanAudioFiles(const std::filesystem::path& folder, const std::set<std::string>& extensions,
                                std::vector<std::string>* foldersWithResults) {
    const std::string root = withoutTrailingSeparators(folder.native());
    FileListBuilder found;
    Walker walker(extensions, foldersWithResults, found);
    if (!walker.walk(root)) {
        return fail(JobError::analysisFailed("フォルダを読み取れませんでした: " + repairUtf8(root)));
    }
    return found.sorted();
}

}  // namespace quellmark
