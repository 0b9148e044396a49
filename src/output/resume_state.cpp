#include "output/resume_state.h"

#include <sys/file.h>

#include "base/file_descriptor.h"

namespace quellmark {

ResumedState loadResumableLeftovers(const std::filesystem::path& folder) {
    ResumedState resumed;
    const auto csv = openRegularForReading(folder / "volume_gains.csv.tmp");
    if (!csv) return resumed;
    // A writer holds its exclusive lock for as long as it lives: a temporary CSV
    // we cannot lock belongs to a run still under way, whose rows may yet be
    // cut back or never vouched for. A crashed run's lock went with its process.
    // The lock goes when `csv` is closed.
    if (retryOnEintr([&] { return ::flock(csv->get(), LOCK_SH | LOCK_NB); }) != 0) return resumed;
    const auto journal = openRegularForReading(folder / "volume_gains.csv.meta.journal");
    if (!journal) return resumed;
    const auto journalText = readRest(*journal);
    if (!journalText) return resumed;
    MetaMap saved = decodeJournal(*journalText);
    if (saved.empty()) return resumed;
    const auto csvText = readRest(*csv);
    if (!csvText) return resumed;

    // Only whole lines: a row the crash cut short, perhaps inside a multibyte
    // character, must neither be read nor spoil the lines before it.
    const size_t lastLineFeed = csvText->rfind('\n');
    if (lastLineFeed == std::string::npos) return resumed;
    PreviousRows rows = parsePreviousRows(std::string_view(*csvText).substr(0, lastLineFeed + 1));

    // The journal only ever receives entries of "ok" rows already written, so an
    // entry without such a row is damage; a row without its entry was never
    // vouched for and its file may have changed since. Rows move over as nodes:
    // a resume near the end of a large run keeps nearly every one.
    resumed.rows.reserve(saved.size());
    for (auto entry = saved.begin(); entry != saved.end();) {
        const auto row = rows.find(entry->first);
        if (row == rows.end() || row->second.status != RowStatus::ok || !row->second.hasSilenceMeasurement) {
            entry = saved.erase(entry);
            continue;
        }
        resumed.rows.insert(rows.extract(row));
        ++entry;
    }
    resumed.entries = std::move(saved);
    return resumed;
}

void addResumedState(ResumedState resumed, PreviousResults& previous) {
    for (auto& [path, row] : resumed.rows) previous.setRow(std::move(row));
    for (const auto& [path, entry] : resumed.entries) previous.setStamp(path, entry);
}

}  // namespace quellmark
