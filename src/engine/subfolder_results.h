#pragma once
// Results that subfolders of a run's folder hold of their own. People measure
// a library an album at a time, or spread an archive over many machines one
// subfolder each; a run on the folder above then finds each file's row beside
// it and need not measure it again.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "output/previous_results.h"

namespace quellmark {

class SubfolderResults {
public:
    /// An entry of one subfolder's results and the results that own it.
    struct Found {
        std::shared_ptr<PreviousResults> owner;
        PreviousResults::Entry* entry = nullptr;
    };

    /// `folders`: the subfolders below `runFolder` that hold a volume_gains.csv,
    /// as the scan gave them (full paths). Reads nothing yet.
    SubfolderResults(std::string_view runFolder, const std::vector<std::string>& folders);
    SubfolderResults(const SubfolderResults&) = delete;
    SubfolderResults& operator=(const SubfolderResults&) = delete;

    bool empty() const { return m_folders.empty(); }

    /// The entry for the file at `relativePath` (below the run's folder, as the
    /// CSV spells it) in the nearest folder between the file and the run's
    /// folder whose results hold one that `accept` takes. A folder's results
    /// are read the first time a file below it asks, by that file's task, and
    /// kept for the rest of the run; they are never written or locked, and
    /// what cannot be read gives nothing. Any thread.
    std::optional<Found> find(std::string_view relativePath,
                              const std::function<bool(const PreviousResults::Entry&)>& accept);

private:
    struct Folder {
        std::string path;
        std::once_flag loaded;
        std::shared_ptr<PreviousResults> results;
    };
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    // Keyed by the folder's path below the run's folder, as a CSV spells paths.
    // Built once; only the folders' loading changes it afterwards.
    std::unordered_map<std::string, std::unique_ptr<Folder>, TextHash, std::equal_to<>> m_folders;
};

}  // namespace quellmark
