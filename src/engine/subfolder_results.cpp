#include "engine/subfolder_results.h"

#include "base/text.h"
#include "engine/analyze_file.h"

namespace quellmark {

SubfolderResults::SubfolderResults(std::string_view runFolder, const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        std::string key = repairUtf8(makeRelativePath(folder, runFolder));
        auto [slot, isNew] = m_folders.try_emplace(std::move(key));
        if (isNew) {
            slot->second = std::make_unique<Folder>();
            slot->second->path = folder;
        } else {
            // Two folders whose names read alike: neither can say whose row is whose.
            slot->second->path.clear();
        }
    }
}

std::optional<SubfolderResults::Found> SubfolderResults::find(
    std::string_view relativePath, const std::function<bool(const PreviousResults::Entry&)>& accept) {
    if (m_folders.empty()) return std::nullopt;
    // A "/" never lies inside a UTF-8 sequence, nor inside what repairing one
    // gives, so the file's path below a folder is the tail after that folder's
    // own path and one "/".
    for (std::size_t slash = relativePath.rfind('/'); slash != std::string_view::npos && slash > 0;
         slash = relativePath.rfind('/', slash - 1)) {
        const auto folder = m_folders.find(relativePath.substr(0, slash));
        if (folder == m_folders.end() || folder->second->path.empty()) continue;
        Folder& f = *folder->second;
        std::call_once(f.loaded, [&f] { f.results = std::make_shared<PreviousResults>(PreviousResults::load(f.path)); });
        PreviousResults::Entry* entry = f.results->find(relativePath.substr(slash + 1));
        if (entry && accept(*entry)) return Found{f.results, entry};
    }
    return std::nullopt;
}

}  // namespace quellmark
