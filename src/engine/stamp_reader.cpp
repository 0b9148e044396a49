#include "engine/stamp_reader.h"

#include <fcntl.h>

namespace quellmark {

MetaEntry StampReader::stamp(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return fileStamp(std::string(path));
    const std::string_view folder(path.data(), slash);
    if (folder != m_folder) {
        m_folder = folder;
        m_folderFd =
            FileDescriptor(retryOnEintr([&] { return ::open(m_folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    }
    if (!m_folderFd.isOpen()) return fileStamp(std::string(path));
    return fileStampAt(m_folderFd.get(), path.data() + slash + 1);
}

}  // namespace quellmark
