#include "output/csv_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace quellmark {
namespace {

namespace fs = std::filesystem;

constexpr int kMetaFlushInterval = 64;
// Each round of begin loses only to a run that installed its CSV in between;
// this many in a row means something is renaming the file in a loop.
constexpr int kBeginAttempts = 100;
constexpr const char* kFolderBusyMessage = "別の解析がこのフォルダに書き込み中です。";

Error lastSystemError() { return Error::fromErrno(errno); }

// Flushes a file to the device. A file system that cannot sync at all (EINVAL,
// some FUSE mounts) is no reason to lose the run; an input/output error is.
bool syncFile(const FileDescriptor& fd) {
    return retryOnEintr([&] { return ::fsync(fd.get()); }) == 0 || errno == EINVAL;
}

// Installing the CSV, installing the meta file and removing the journal must
// not interleave with another writer's begin or finish in the same folder, or
// one run's meta file could end up beside the other run's CSV. A blocking flock
// on the folder itself serialises those short sections. Best effort: a folder
// that cannot be opened for reading is simply not locked.
FileDescriptor lockFolder(const fs::path& folder) {
    FileDescriptor fd(retryOnEintr([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (fd.isOpen()) retryOnEintr([&] { return ::flock(fd.get(), LOCK_EX); });
    return fd;
}

// Makes renames and removals in the folder durable; best effort.
void syncFolder(const FileDescriptor& folder) {
    if (folder.isOpen()) ::fsync(folder.get());
}

// Whether `fd` is still the file at `path`: a run that just installed its CSV
// renamed its locked temporary file away, and a lock on that inode guards nothing.
Result<bool> isStillAtPath(const FileDescriptor& fd, const fs::path& path) {
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd.get(), &opened) != 0) return fail(lastSystemError());
    if (::lstat(path.c_str(), &named) != 0) {
        if (errno == ENOENT) return false;
        return fail(lastSystemError());
    }
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Opens and locks the temporary CSV. It is not truncated here: a file whose
// lock another writer holds must be left exactly as it is.
Result<FileDescriptor> openLockedTemporary(const fs::path& tmpURL) {
    for (int attempt = 0; attempt < kBeginAttempts; ++attempt) {
        auto opened = openWithoutFollowing(tmpURL, O_RDWR | O_CREAT);
        if (!opened) return fail(opened.error());
        FileDescriptor fd = std::move(*opened);
        const int lockResult = retryOnEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); });
        const int lockErrno = lockResult == 0 ? 0 : errno;
        if (lockErrno != 0 && lockErrno != EWOULDBLOCK) return fail(Error::fromErrno(lockErrno));
        const auto same = isStillAtPath(fd, tmpURL);
        if (!same) return fail(same.error());
        if (!*same) continue;
        if (lockErrno == EWOULDBLOCK) return fail(JobError::analysisFailed(kFolderBusyMessage));
        return fd;
    }
    return fail(Error::fromErrno(EAGAIN));
}

}  // namespace

CSVWriter::CSVWriter(std::filesystem::path outputURL) : m_outputURL(std::move(outputURL)) {
    m_folder = m_outputURL.parent_path();
    if (m_folder.empty()) m_folder = ".";
    m_tmpURL = m_folder / "volume_gains.csv.tmp";
    m_metaURL = m_folder / "volume_gains.csv.meta.json";
    m_metaTmpURL = m_folder / "volume_gains.csv.meta.json.tmp";
    m_journalURL = m_folder / "volume_gains.csv.meta.journal";
}

CSVWriter::~CSVWriter() = default;

Result<void> CSVWriter::begin() {
    // A writer serves one run: begun twice it keeps its file, and once finished
    // or abandoned it never truncates the rows it handed over.
    if (m_finished) return fail(JobError::notInitialized());
    if (m_begun) return {};
    std::error_code ec;
    fs::create_directories(m_folder, ec);
    if (ec) return fail(ec);

    const FileDescriptor folderLock = lockFolder(m_folder);
    auto locked = openLockedTemporary(m_tmpURL);
    if (!locked) return fail(locked.error());
    FileDescriptor csv = std::move(*locked);

    // A journal left by a run that died belongs to that run's rows, not ours.
    if (::unlink(m_journalURL.c_str()) != 0 && errno != ENOENT) return fail(lastSystemError());
    if (retryOnEintr([&] { return ::ftruncate(csv.get(), 0); }) != 0) return fail(lastSystemError());

    std::string header = csvLine(csvHeader());
    header.push_back('\n');
    if (const int err = writeAllAt(csv.get(), header, 0)) {
        retryOnEintr([&] { return ::ftruncate(csv.get(), 0); });
        return fail(Error::fromErrno(err));
    }
    m_csv = std::move(csv);
    m_csvSize = static_cast<off_t>(header.size());
    m_begun = true;
    return {};
}

Result<void> CSVWriter::write(const AnalyzeResult& result, const std::optional<MetaEntry>& entry,
                              std::stop_token stop) {
    const RowToWrite one{&result, entry};
    return writeRows(std::span(&one, 1), stop);
}

Result<void> CSVWriter::writeRows(std::span<const RowToWrite> rows, std::stop_token stop) {
    return writeFormattedRows(rows, formatRows(rows), stop);
}

std::string CSVWriter::formatRows(std::span<const RowToWrite> rows) {
    std::string lines;
    for (const RowToWrite& row : rows) appendCsvLine(lines, *row.row);
    return lines;
}

Result<void> CSVWriter::writeFormattedRows(std::span<const RowToWrite> rows, const std::string& lines,
                                           std::stop_token stop) {
    if (!m_csv.isOpen()) return fail(JobError::notInitialized());
    if (stop.stop_requested()) return fail(CancellationError{});
    if (auto appended = appendLines(lines); !appended) return appended;
    for (const RowToWrite& row : rows) {
        if (row.entry && row.row->status == RowStatus::ok) recordEntry(row.row->relative_path, *row.entry);
    }
    return {};
}

Result<void> CSVWriter::appendLines(const std::string& lines) {
    if (const int err = writeAllAt(m_csv.get(), lines, m_csvSize)) {
        // Cut a partial row off: a half line must never be installed or resumed.
        retryOnEintr([&] { return ::ftruncate(m_csv.get(), m_csvSize); });
        return fail(Error::fromErrno(err));
    }
    m_csvSize += static_cast<off_t>(lines.size());
    return {};
}

void CSVWriter::recordEntry(std::string_view relativePath, const MetaEntry& entry) {
    constexpr std::size_t kBlockBytes = 64 * 1024;
    char* stored = nullptr;
    if (relativePath.size() > kBlockBytes / 4) {
        // A path that would waste much of a block gets one of its own.
        m_pathBlocks.insert(m_pathBlocks.begin(), std::make_unique<char[]>(relativePath.size()));
        stored = m_pathBlocks.front().get();
    } else {
        if (m_pathBlocks.empty() || m_pathBlockUsed + relativePath.size() > kBlockBytes) {
            m_pathBlocks.push_back(std::make_unique<char[]>(kBlockBytes));
            m_pathBlockUsed = 0;
        }
        stored = m_pathBlocks.back().get() + m_pathBlockUsed;
        m_pathBlockUsed += relativePath.size();
    }
    std::copy(relativePath.begin(), relativePath.end(), stored);
    m_metaRecords.push_back({stored, static_cast<std::uint32_t>(relativePath.size()),
                             static_cast<std::uint32_t>(m_metaRecords.size()), entry});
    m_pendingJournal.append(encodeJournalLine(relativePath, entry));
    if (++m_sinceMetaFlush >= kMetaFlushInterval) {
        appendPendingToJournal();
        m_sinceMetaFlush = 0;
    }
}

// The journal only ever grows by whole lines of rows already in the temporary
// CSV. A failure is swallowed: the journal serves a resume after a crash, and
// the rows themselves are safe. Lines that failed stay pending for the next append.
void CSVWriter::appendPendingToJournal() {
    if (m_pendingJournal.empty()) return;
    if (!m_journal.isOpen()) {
        auto opened = openWithoutFollowing(m_journalURL, O_WRONLY | O_APPEND | O_CREAT);
        if (!opened) return;
        m_journal = std::move(*opened);
    }
    struct stat before {};
    if (::fstat(m_journal.get(), &before) != 0) return;
    if (writeAll(m_journal.get(), m_pendingJournal) != 0) {
        retryOnEintr([&] { return ::ftruncate(m_journal.get(), before.st_size); });
        return;
    }
    m_pendingJournal.clear();
}

// Written in pieces as it is encoded: the meta file of a large library runs
// to tens of megabytes, which need not be held at once.
bool CSVWriter::writeMetaTemporary() {
    // Sorted by path bytes, as the meta file is written; of two entries of one
    // path the later wins.
    const auto byPath = [](const MetaRecord& a, const MetaRecord& b) {
        if (const int order = a.pathText().compare(b.pathText()); order != 0) return order < 0;
        return a.sequence < b.sequence;
    };
    if (!std::is_sorted(m_metaRecords.begin(), m_metaRecords.end(), byPath)) {
        std::sort(m_metaRecords.begin(), m_metaRecords.end(), byPath);
    }
    auto opened = openWithoutFollowing(m_metaTmpURL, O_WRONLY | O_CREAT | O_TRUNC);
    if (!opened) return false;
    constexpr std::size_t kPieceBytes = 1 << 20;
    std::string piece = "{";
    bool written = true;
    bool first = true;
    for (std::size_t i = 0; i < m_metaRecords.size() && written; ++i) {
        const std::string_view path = m_metaRecords[i].pathText();
        if (i + 1 < m_metaRecords.size() && m_metaRecords[i + 1].pathText() == path) continue;
        if (!first) piece.push_back(',');
        first = false;
        appendMetaMember(piece, path, m_metaRecords[i].entry);
        if (piece.size() >= kPieceBytes) {
            written = writeAll(opened->get(), piece) == 0;
            piece.clear();
        }
    }
    piece.push_back('}');
    written = written && writeAll(opened->get(), piece) == 0 && syncFile(*opened);
    if (!written) ::unlink(m_metaTmpURL.c_str());
    return written;
}

Result<void> CSVWriter::finish() {
    if (!m_begun || m_finished) return {};
    m_finished = true;
    FileDescriptor csv = std::move(m_csv);  // the lock stays held until installed

    if (!syncFile(csv)) {
        const Error error = lastSystemError();
        appendPendingToJournal();
        return fail(error);
    }
    const FileDescriptor folderLock = lockFolder(m_folder);
    const bool metaReady = writeMetaTemporary();
    // The old meta file describes the old CSV. Removing it before the CSV is
    // replaced means a crash in between leaves no meta file (every file is
    // analysed again) rather than old stamps paired with new rows.
    ::unlink(m_metaURL.c_str());
    syncFolder(folderLock);
    if (::rename(m_tmpURL.c_str(), m_outputURL.c_str()) != 0) {
        const Error error = lastSystemError();
        if (metaReady) ::unlink(m_metaTmpURL.c_str());
        appendPendingToJournal();
        return fail(error);
    }
    m_installed = true;
    syncFolder(folderLock);
    if (m_afterCsvInstalled) m_afterCsvInstalled();

    if (metaReady && ::rename(m_metaTmpURL.c_str(), m_metaURL.c_str()) != 0) ::unlink(m_metaTmpURL.c_str());
    m_journal.reset();
    ::unlink(m_journalURL.c_str());
    m_pendingJournal.clear();
    m_sinceMetaFlush = 0;
    syncFolder(folderLock);
    return {};
}

void CSVWriter::abandon() {
    if (!m_begun || m_finished) return;
    m_finished = true;
    appendPendingToJournal();
    m_journal.reset();
    m_csv.reset();
}

}  // namespace quellmark
