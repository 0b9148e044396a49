#pragma once
// Reading the stamps of the listed files, one after another.

#include <string>
#include <string_view>

#include "base/file_descriptor.h"
#include "output/meta_entry.h"

namespace quellmark {

/// Stamps of files read through a descriptor of their folder, kept while the
/// files come from the same folder (they do: the list is sorted by path). A
/// rerun reads one stamp per file, and the kernel's walk along each whole path
/// would cost more than everything else done for an unchanged file.
class StampReader {
public:
    /// `path` must be followed by a NUL.
    MetaEntry stamp(std::string_view path);

private:
    std::string m_folder;
    FileDescriptor m_folderFd;
};

}  // namespace quellmark
