#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "base/job_error.h"
#include "output/analyze_result.h"
#include "base/file_descriptor.h"
#include "output/meta_entry.h"

namespace quellmark {

/// Writes one run's result files. Rows go to volume_gains.csv.tmp; `finish`
/// installs it over volume_gains.csv with one atomic rename, then the complete
/// meta file. Not thread-safe: the engine calls it from its main thread only.
/// Holds an exclusive flock on the temporary CSV from `begin` until `finish`,
/// `abandon` or destruction, so two runs never write one folder.
class CSVWriter {
public:
    /// Touches no file. `outputURL` is the folder joined with "volume_gains.csv".
    explicit CSVWriter(std::filesystem::path outputURL);
    /// Closes what is open and releases the lock; never installs anything.
    ~CSVWriter();
    CSVWriter(const CSVWriter&) = delete;
    CSVWriter& operator=(const CSVWriter&) = delete;

    const std::filesystem::path& outputURL() const { return m_outputURL; }

    /// Creates the folder if needed, takes the lock and writes the header to the
    /// temporary CSV. Fails with the system error, or with "別の解析がこのフォルダに
    /// 書き込み中です。" when another writer holds the folder; changes nothing then.
    /// A second call while begun does nothing; after `finish` or `abandon` it
    /// fails with notInitialized.
    Result<void> begin();
    /// Appends one row (one write, never a partial line) and records `entry` when
    /// the status is "ok". Fails with notInitialized outside begin..finish, with the
    /// cancellation error when `stop` is requested, or with the system error.
    Result<void> write(const AnalyzeResult& result, const std::optional<MetaEntry>& entry,
                       std::stop_token stop = {});
    /// One row to write and the stamp to record with it.
    struct RowToWrite {
        const AnalyzeResult* row;
        std::optional<MetaEntry> entry;
    };
    /// Appends all of `rows` in one write, or none of them: a failure leaves the
    /// temporary CSV as it was before the call. Otherwise as `write`.
    Result<void> writeRows(std::span<const RowToWrite> rows, std::stop_token stop = {});
    /// The CSV lines of `rows`, as writeRows would write them. Pure, so a caller
    /// may format on its own thread and hand the writer only the writing.
    static std::string formatRows(std::span<const RowToWrite> rows);
    /// writeRows with `lines` = formatRows(rows), formatted beforehand.
    Result<void> writeFormattedRows(std::span<const RowToWrite> rows, const std::string& lines,
                                    std::stop_token stop = {});
    /// Installs the temporary CSV and then the meta file; removes the journal.
    /// The previous meta file is removed before the CSV is replaced, so a crash in
    /// between leaves no meta file rather than one describing the old rows. Fails
    /// with the system error when the CSV cannot be synced or renamed (the
    /// temporary CSV stays). Does nothing (and succeeds) when this writer's `begin`
    /// never succeeded, after `abandon`, and on a second call.
    Result<void> finish();
    /// Ends without installing: closes the temporary CSV, keeps it and the
    /// journal for a later resume, and leaves volume_gains.csv and the meta file alone.
    void abandon();

    /// True once `finish` has installed this writer's CSV.
    bool hasInstalledOutput() const { return m_installed; }

    /// Tests only: called inside `finish` after the CSV is installed and before
    /// the meta file is, so a test can stop the process at that point.
    void setAfterCsvInstalledHookForTesting(std::function<void()> hook) { m_afterCsvInstalled = std::move(hook); }

private:
    Result<void> appendLines(const std::string& lines);
    void recordEntry(std::string_view relativePath, const MetaEntry& entry);
    void appendPendingToJournal();
    bool writeMetaTemporary();

    std::filesystem::path m_folder;
    std::filesystem::path m_outputURL;
    std::filesystem::path m_tmpURL;
    std::filesystem::path m_metaURL;
    std::filesystem::path m_metaTmpURL;
    std::filesystem::path m_journalURL;
    FileDescriptor m_csv;
    FileDescriptor m_journal;
    /// Length of the temporary CSV up to its last complete line.
    off_t m_csvSize = 0;
    bool m_begun = false;
    bool m_finished = false;
    bool m_installed = false;
    /// The stamps recorded so far, in order. A large library records hundreds
    /// of thousands, so their paths lie back to back in blocks that never move.
    struct MetaRecord {
        const char* path;
        std::uint32_t pathLength;
        std::uint32_t sequence;
        MetaEntry entry;
        std::string_view pathText() const { return {path, pathLength}; }
    };
    std::vector<std::unique_ptr<char[]>> m_pathBlocks;
    std::size_t m_pathBlockUsed = 0;
    std::deque<MetaRecord> m_metaRecords;
    /// Journal lines of the entries recorded since the last append.
    std::string m_pendingJournal;
    int m_sinceMetaFlush = 0;
    std::function<void()> m_afterCsvInstalled;
};

}  // namespace quellmark
