#include "engine/batch_run.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/analyze_file.h"
#include "engine/folder_scan.h"
#include "engine/main_thread.h"
#include "engine/previous_state.h"
#include "engine/stamp_reader.h"
#include "engine/subfolder_results.h"
#include "base/file_descriptor.h"
#include "engine/run_plan.h"
#include "base/text.h"
#include "output/csv_writer.h"

namespace quellmark {
namespace {

// Carried-over rows reach the writer in slices: a rerun over a large
// unchanged library is otherwise bound by one main-thread hop per file, while
// the main thread still gets to serve between slices.
constexpr std::size_t kCarrySliceSize = 1024;
// A slice is handed over at the latest this long after its first row, so
// progress keeps moving where stamps are slow to read (network folders).
constexpr std::chrono::milliseconds kCarrySliceHold{100};

using Files = FileList;

struct CarriedRow {
    std::size_t index;
    std::string fileName;
    CarriedOver carried;
    MetaEntry stamp;
};

/// What the group of file tasks left behind.
struct GroupOutcome {
    std::optional<Error> firstError;
    /// Per listed file: whether its analysis got past the first cancellation check.
    std::vector<char> started;
};

/// The file tasks' shared position in the list, and the first failure, which
/// ends the hand-out of files and stops the others.
class TaskCursor {
public:
    TaskCursor(std::size_t fileCount, std::stop_source& groupStop, GroupOutcome& outcome)
        : m_fileCount(fileCount), m_groupStop(groupStop), m_outcome(outcome) {}

    /// The next file to take, or nullopt when the list is done or a task failed.
    std::optional<std::size_t> next() {
        std::lock_guard lock(m_mutex);
        if (m_outcome.firstError || m_next == m_fileCount) return std::nullopt;
        return m_next++;
    }
    void fail(const Error& error) {
        std::lock_guard lock(m_mutex);
        if (!m_outcome.firstError) m_outcome.firstError = error;
        m_groupStop.request_stop();
    }
    /// Each index belongs to the one task that took it, so no lock is needed.
    void markStarted(std::size_t index, bool started) { m_outcome.started[index] = started; }
    std::vector<char>& started() { return m_outcome.started; }

private:
    std::mutex m_mutex;
    std::size_t m_next = 0;
    const std::size_t m_fileCount;
    std::stop_source& m_groupStop;
    GroupOutcome& m_outcome;
};

/// Carried-over rows that one file task gathers before handing them to the
/// main thread together.
class CarrySlice {
public:
    /// Adds a row; true when the slice is due to be written.
    bool add(CarriedRow row) {
        if (m_rows.empty()) m_firstAt = std::chrono::steady_clock::now();
        m_rows.push_back(std::move(row));
        return m_rows.size() == kCarrySliceSize || std::chrono::steady_clock::now() - m_firstAt >= kCarrySliceHold;
    }
    std::vector<CarriedRow>& rows() { return m_rows; }

private:
    std::vector<CarriedRow> m_rows;
    std::chrono::steady_clock::time_point m_firstAt;
};

/// Runs `task` on `count` threads and waits for them all. Fewer threads than
/// asked are fine (a limit beyond what the system allows); none is an error.
std::optional<Error> runOnThreads(std::size_t count, const std::function<void()>& task) {
    std::vector<std::jthread> threads;
    threads.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        try {
            threads.emplace_back(task);
        } catch (const std::system_error& e) {
            if (threads.empty()) return Error(e.code());
            break;
        }
    }
    return std::nullopt;  // jthread joins on destruction
}

class Run {
public:
    Run(const std::filesystem::path& folder, const AppSettings& settings, std::stop_token runStop,
        MainThread& mainThread, RunSink& sink)
        : m_folder(folder), m_settings(settings), m_runStop(std::move(runStop)), m_mainThread(mainThread),
          m_sink(sink) {}

    void execute();

private:
    /// Scan, previous state and begin; false when the run has already ended.
    bool prepare();
    void analyseAndEnd();
    void onMain(const std::function<void()>& fn) { m_mainThread.runAndWait(fn); }
    FileTaskContext makeContext();
    GroupOutcome analyseAll(const FileTaskContext& context);
    void runFileTasks(const FileTaskContext& context, TaskCursor& cursor, std::stop_token stop);
    std::optional<CarriedRow> carriedRow(std::size_t index, const FileTaskContext& context,
                                         StampReader& stamps) const;
    /// Writes and counts the slice's rows in order on the main thread, marking
    /// each written file as started. Stops at the first refused row.
    std::optional<Error> writeCarriedSlice(std::vector<CarriedRow>& slice, std::stop_token stop,
                                           std::vector<char>& started);
    std::optional<Error> writeUnstartedCarryOvers(const FileTaskContext& context,
                                                  const std::vector<char>& started);
    void endSucceeded();
    void endWithError(const Error& error, bool keepPreviousOutput);

    std::filesystem::path m_folder;
    AppSettings m_settings;
    std::stop_token m_runStop;
    MainThread& m_mainThread;
    RunSink& m_sink;

    std::unique_ptr<CSVWriter> m_writer;
    Files m_files;
    std::shared_ptr<PreviousResults> m_previous;
    std::shared_ptr<SubfolderResults> m_subfolders;
    /// Carried rows that were found but refused (the run was ending): found
    /// once, since finding one may take its previous entry for good.
    std::mutex m_refusedMutex;
    std::vector<CarriedRow> m_refused;
    std::set<std::string> m_ambiguousPaths;
    bool m_hadPreviousCSV = false;
};

void Run::execute() {
    if (prepare()) analyseAndEnd();
}

bool Run::prepare() {
    onMain([&] { m_writer = std::make_unique<CSVWriter>(m_folder / "volume_gains.csv"); });

    // Read before begin: from then on the writer owns the folder's result files.
    // The previous results are read while the folder is walked: for a large
    // library each takes a good part of a rerun, and they touch different files.
    std::error_code ignored;
    m_hadPreviousCSV = std::filesystem::exists(m_folder / "volume_gains.csv", ignored);
    PreviousLoad previousLoad(m_settings.incremental ? std::optional(m_folder) : std::nullopt);

    std::vector<std::string> foldersWithResults;
    auto scanned = scanAudioFiles(m_folder, m_settings.audioExtensions, &foldersWithResults);
    if (!scanned) {
        endWithError(scanned.error(), false);
        return false;
    }
    m_files = std::move(*scanned);
    if (m_settings.incremental && !foldersWithResults.empty()) {
        m_subfolders = std::make_shared<SubfolderResults>(m_folder.native(), foldersWithResults);
    }
    onMain([&] { m_sink.setTotalCount(static_cast<std::int64_t>(m_files.size())); });

    if (m_files.empty()) {
        onMain([&] {
            m_writer.reset();
            m_sink.setState(State::finished);
            m_sink.setErrorMessage(std::string(kNoAudioFilesMessage));
        });
        return false;
    }
    m_previous = previousLoad.take();

    Result<void> begun;
    onMain([&] { begun = m_writer->begin(); });
    if (!begun) {
        endWithError(begun.error(), false);
        return false;
    }
    return true;
}

void Run::analyseAndEnd() {
    m_ambiguousPaths = sharedRelativePaths(m_files, m_folder.native());
    const FileTaskContext context = makeContext();
    GroupOutcome outcome = analyseAll(context);
    if (!outcome.firstError) return endSucceeded();

    Error error = *outcome.firstError;
    // Every failure of a file task other than cancellation is a row that could
    // not be written.
    bool writeFailed = !error.isCancellation();
    if (!writeFailed && m_settings.incremental) {
        if (auto failed = writeUnstartedCarryOvers(context, outcome.started)) {
            error = *failed;
            writeFailed = !failed->isCancellation();
        }
    }
    // Installing the rows written so far would replace a complete previous CSV
    // with a partial one; keep it, and leave the temporary CSV and journal for
    // the next run to resume from.
    endWithError(error, writeFailed && m_hadPreviousCSV);
}

FileTaskContext Run::makeContext() {
    FileTaskContext context = carryOverContext(m_folder, m_settings, m_previous, m_subfolders, m_ambiguousPaths);
    // Found once for every file of the run: the search may start `which`.
    context.tools = locateTools(m_settings.ffmpegPath);
    context.onMainThread = [this](std::function<void()> fn) { m_mainThread.runAndWait(std::move(fn)); };
    context.writer = m_writer.get();
    context.setCurrentFileName = [this](const std::string& name) { m_sink.setCurrentFileName(name); };
    context.addRows = [this](std::span<ResultEntry> entries, bool counted) { m_sink.addRows(entries, counted); };
    return context;
}

GroupOutcome Run::analyseAll(const FileTaskContext& context) {
    GroupOutcome outcome;
    outcome.started.assign(m_files.size(), 0);
    // The group's own stop source: a failing file task stops the others
    // without touching the run's, and a cancel of the run reaches every task,
    // including those that start after it.
    std::stop_source groupStop;
    std::stop_callback forwardCancel(m_runStop, [&groupStop] { groupStop.request_stop(); });
    TaskCursor cursor(m_files.size(), groupStop, outcome);
    // The one place that caps concurrent file tasks.
    const auto limit = static_cast<std::size_t>(parallelismLimit(m_settings));
    const auto noThreads = runOnThreads(std::min(limit, m_files.size()),
                                        [&] { runFileTasks(context, cursor, groupStop.get_token()); });
    if (noThreads) cursor.fail(*noThreads);
    return outcome;
}

// One file task: takes the next file of the list once its previous file has
// ended. Unchanged files are gathered into slices; a file that needs the
// tools first hands over the rows already found, since its run may take minutes.
void Run::runFileTasks(const FileTaskContext& context, TaskCursor& cursor, std::stop_token stop) {
    CarrySlice slice;
    StampReader stamps;
    // A row refused here (the run is ending) leaves its file unstarted, so
    // the carry-over written at the end still keeps it.
    auto flush = [&] {
        if (slice.rows().empty()) return;
        if (auto failure = writeCarriedSlice(slice.rows(), stop, cursor.started())) cursor.fail(*failure);
    };
    while (const auto index = cursor.next()) {
        if (!stop.stop_requested()) {
            if (auto carried = carriedRow(*index, context, stamps)) {
                if (slice.add(std::move(*carried))) flush();
                continue;
            }
        }
        flush();
        bool began = false;
        auto result = analyzeFile(std::filesystem::path(m_files[*index]), context, stop, &began);
        cursor.markStarted(*index, began);
        if (!result) cursor.fail(result.error());
    }
    flush();
}

std::optional<CarriedRow> Run::carriedRow(std::size_t index, const FileTaskContext& context,
                                          StampReader& stamps) const {
    const std::string relativePath = repairUtf8(makeRelativePath(m_files[index], context.folderPath));
    const MetaEntry stamp = stamps.stamp(m_files[index]);
    auto row = carriedOverFor(relativePath, stamp, context);
    if (!row) return std::nullopt;
    const std::string_view file = m_files[index];
    return CarriedRow{index, repairUtf8(file.substr(file.rfind('/') + 1)), std::move(*row), stamp};
}

std::optional<Error> Run::writeCarriedSlice(std::vector<CarriedRow>& slice, std::stop_token stop,
                                            std::vector<char>& started) {
    std::vector<CSVWriter::RowToWrite> rows;
    std::vector<ResultEntry> entries;
    rows.reserve(slice.size());
    entries.reserve(slice.size());
    for (CarriedRow& carried : slice) {
        rows.push_back({carried.carried.row.get(), carried.stamp});
        entries.push_back({std::move(carried.carried.row), {}, carried.carried.origin});
    }
    // Formatted here, on the file task's thread: the main thread, which the
    // other file tasks and the window wait for, only writes.
    const std::string lines = CSVWriter::formatRows(rows);
    std::optional<Error> failure;
    onMain([&] {
        m_sink.setCurrentFileName(slice.back().fileName);
        auto written = m_writer->writeFormattedRows(rows, lines, stop);
        if (!written) {
            failure = written.error();
            return;
        }
        for (const CarriedRow& carried : slice) started[carried.index] = 1;
        m_sink.addRows(entries, true);
    });
    if (failure) {
        for (std::size_t i = 0; i < slice.size(); ++i) slice[i].carried.row = std::move(entries[i].row);
        std::lock_guard lock(m_refusedMutex);
        std::move(slice.begin(), slice.end(), std::back_inserter(m_refused));
    }
    slice.clear();
    return failure;
}

std::optional<Error> Run::writeUnstartedCarryOvers(const FileTaskContext& context,
                                                   const std::vector<char>& started) {
    std::vector<CarriedRow> slice;
    StampReader stamps;
    std::optional<Error> failure;
    // A token that is never requested: these rows are written because the run
    // is ending, so the cancel must not refuse them. They are not counted: the
    // run did not get to them.
    const auto flush = [&] {
        std::vector<CSVWriter::RowToWrite> rows;
        std::vector<ResultEntry> entries;
        for (CarriedRow& carried : slice) {
            rows.push_back({carried.carried.row.get(), carried.stamp});
            entries.push_back({std::move(carried.carried.row), {}, carried.carried.origin});
        }
        slice.clear();
        onMain([&] {
            if (auto written = m_writer->writeRows(rows, std::stop_token{}); !written) {
                failure = written.error();
            } else {
                m_sink.addRows(entries, false);
            }
        });
    };
    std::ranges::sort(m_refused, {}, &CarriedRow::index);
    auto refused = m_refused.begin();
    for (std::size_t i = 0; i < m_files.size() && !failure; ++i) {
        while (refused != m_refused.end() && refused->index < i) ++refused;
        if (started[i]) continue;
        if (refused != m_refused.end() && refused->index == i) {
            slice.push_back(std::move(*refused));
        } else if (auto row = carriedRow(i, context, stamps)) {
            slice.push_back(std::move(*row));
        }
        if (slice.size() == kCarrySliceSize) flush();
    }
    if (!slice.empty() && !failure) flush();
    return failure;
}

void Run::endSucceeded() {
    Result<void> finished;
    onMain([&] { finished = m_writer->finish(); });
    if (!finished) return endWithError(finished.error(), false);
    onMain([&] {
        std::optional<std::filesystem::path> url;
        if (m_writer->hasInstalledOutput()) url = m_writer->outputURL();
        m_writer.reset();
        m_sink.setOutputURL(std::move(url));
        m_sink.setState(State::finished);
    });
}

void Run::endWithError(const Error& error, bool keepPreviousOutput) {
    onMain([&] {
        if (keepPreviousOutput) {
            m_writer->abandon();
        } else {
            (void)m_writer->finish();
        }
        // Only a CSV this run installed is worth pointing at: the previous
        // file would present a run that saved nothing as saved.
        std::optional<std::filesystem::path> url;
        if (m_writer->hasInstalledOutput()) url = m_writer->outputURL();
        m_writer.reset();
        if (error.isCancellation()) {
            m_sink.setOutputURL(std::move(url));
            m_sink.setState(State::cancelled);
        } else {
            m_sink.setErrorMessage(error.description());
            m_sink.setOutputURL(std::move(url));
            m_sink.setState(State::finished);
        }
    });
}

}  // namespace

void runBatch(const std::filesystem::path& folder, const AppSettings& settings, std::stop_token runStop,
              MainThread& mainThread, RunSink& sink) {
    Run(folder, settings, std::move(runStop), mainThread, sink).execute();
}

}  // namespace quellmark
