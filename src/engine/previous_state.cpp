#include "engine/previous_state.h"

#include <fcntl.h>
#include <sys/file.h>

#include "output/file_descriptor.h"

namespace quellmark {
namespace {

// A run that is still writing holds an exclusive lock on its temporary CSV;
// a crashed or abandoned run's lock went with it. Holding a shared lock while
// reading keeps a new run from truncating the file under us.
FileDescriptor lockLeftoverCsv(const std::filesystem::path& tmp) {
    FileDescriptor fd(retryOnEintr([&] { return ::open(tmp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd.isOpen()) return fd;
    if (retryOnEintr([&] { return ::flock(fd.get(), LOCK_SH | LOCK_NB); }) != 0) fd.reset();
    return fd;
}

void addLeftovers(const std::filesystem::path& folder, PreviousState& state) {
    const auto tmp = folder / "volume_gains.csv.tmp";
    const auto journal = folder / "volume_gains.csv.meta.journal";
    std::error_code ec;
    if (!std::filesystem::exists(journal, ec)) return;
    const FileDescriptor lock = lockLeftoverCsv(tmp);
    if (!lock.isOpen()) return;
    const auto journalText = readWholeFile(journal);
    if (!journalText) return;
    const MetaMap saved = decodeJournal(*journalText);
    if (saved.empty()) return;
    // A row whose entry never reached the journal may be one the crash cut
    // off, or one whose stamp was never recorded: measure that file again.
    for (auto& [path, row] : loadPreviousRows(tmp)) {
        const auto entry = saved.find(path);
        if (entry == saved.end() || row.status != "ok") continue;
        state.meta[path] = entry->second;
        state.rows[path] = std::move(row);
    }
}

}  // namespace

PreviousState loadPreviousState(const std::filesystem::path& folder) {
    PreviousState state;
    state.rows = loadPreviousRows(folder / "volume_gains.csv");
    state.meta = loadPreviousMeta(folder / "volume_gains.csv.meta.json");
    addLeftovers(folder, state);
    return state;
}

}  // namespace quellmark
