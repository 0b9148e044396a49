#pragma once
// What an incremental run knows of earlier runs over its folder.

#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "output/previous_results.h"

namespace quellmark {

/// The rows of the folder's volume_gains.csv and the entries of its meta file;
/// then, when a run that never finished left volume_gains.csv.tmp and its
/// journal behind and holds no lock on them any more, every leftover row whose
/// journal entry was saved, over the installed ones. Never fails: what cannot
/// be read is left out. Reads only; blocks; any thread.
PreviousResults loadPreviousState(const std::filesystem::path& folder);

/// The previous results of a folder, read on a thread of their own while the
/// caller goes on; nothing when no folder is given (a full run).
class PreviousLoad {
public:
    explicit PreviousLoad(std::optional<std::filesystem::path> folder);
    /// Waits for the reading to end; null in a full run.
    std::shared_ptr<PreviousResults> take();

private:
    std::shared_ptr<PreviousResults> m_loaded;
    std::jthread m_thread;  // last: joined before the result it writes goes
};

}  // namespace quellmark
