#include "engine/batch_run.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/analyze_file.h"
#include "engine/folder_scan.h"
#include "engine/main_thread.h"
#include "engine/previous_state.h"
#include "base/text.h"
#include "output/csv_writer.h"

namespace quellmark {
namespace {

constexpr const char* kNoAudioFiles = "対象となる音声ファイルが見つかりませんでした。";
// Carried-over rows reach the writer in slices: a rerun over a large
// unchanged library is otherwise bound by one main-thread hop per file, while
// the main thread still gets to serve between slices.
constexpr std::size_t kCarrySliceSize = 64;
// A slice is handed over at the latest this long after its first row, so
// progress keeps moving where stamps are slow to read (network folders).
constexpr std::chrono::milliseconds kCarrySliceHold{100};

using Files = std::vector<std::filesystem::path>;

struct CarriedRow {
    std::size_t index;
    std::string fileName;
    AnalyzeResult row;
    MetaEntry stamp;
};

/// What the group of file tasks left behind.
struct GroupOutcome {
    std::optional<Error> firstError;
    /// Per listed file: whether its analysis got past the first cancellation check.
    std::vector<char> started;
};

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
    void runFileTasks(const FileTaskContext& context, std::stop_source& groupStop, GroupOutcome& outcome);
    std::optional<CarriedRow> carriedRow(std::size_t index, const FileTaskContext& context) const;
    /// Writes and counts the slice's rows in order on the main thread; the
    /// number written. Stops at the first refused row.
    std::size_t writeCarriedSlice(const std::vector<CarriedRow>& slice, std::stop_token stop,
                                  std::optional<Error>& failure);
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
    PreviousRows m_previousRows;
    MetaMap m_previousMeta;
    std::set<std::string> m_ambiguousPaths;
    bool m_hadPreviousCSV = false;
};

// Names that are not UTF-8 can decode to one text ("Caf\xE9" and "Caf\xE8"
// both read "Caf\uFFFD"); such a text cannot key one file's previous state.
std::set<std::string> sharedRelativePaths(const Files& files, const std::string& folderPath) {
    std::unordered_map<std::string, int> seen;
    seen.reserve(files.size());
    std::set<std::string> shared;
    for (const auto& file : files) {
        std::string text = repairUtf8(makeRelativePath(file, folderPath));
        if (++seen[text] == 2) shared.insert(std::move(text));
    }
    return shared;
}

void Run::execute() {
    if (prepare()) analyseAndEnd();
}

bool Run::prepare() {
    onMain([&] { m_writer = std::make_unique<CSVWriter>(m_folder / "volume_gains.csv"); });

    auto scanned = scanAudioFiles(m_folder, m_settings.audioExtensions);
    if (!scanned) {
        endWithError(scanned.error(), false);
        return false;
    }
    m_files = std::move(*scanned);
    onMain([&] { m_sink.setTotalCount(static_cast<std::int64_t>(m_files.size())); });

    if (m_files.empty()) {
        onMain([&] {
            m_writer.reset();
            m_sink.setState(State::finished);
            m_sink.setErrorMessage(kNoAudioFiles);
        });
        return false;
    }

    // Read before begin: from then on the writer owns the folder's result files.
    std::error_code ignored;
    m_hadPreviousCSV = std::filesystem::exists(m_folder / "volume_gains.csv", ignored);
    if (m_settings.incremental) {
        PreviousState previous = loadPreviousState(m_folder);
        m_previousRows = std::move(previous.rows);
        m_previousMeta = std::move(previous.meta);
    }

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
    FileTaskContext context;
    context.folderPath = m_folder.native();
    context.settings = m_settings;
    context.previousRows = &m_previousRows;
    context.previousMeta = &m_previousMeta;
    context.ambiguousPaths = &m_ambiguousPaths;
    context.onMainThread = [this](std::function<void()> fn) { m_mainThread.runAndWait(std::move(fn)); };
    context.writer = m_writer.get();
    context.setCurrentFileName = [this](const std::string& name) { m_sink.setCurrentFileName(name); };
    context.countProcessed = [this](bool isError) { m_sink.countProcessed(isError); };
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
    runFileTasks(context, groupStop, outcome);
    return outcome;
}

// The one place that caps concurrent file tasks: `limit` workers, each taking
// the next file of the list only once its previous file has ended.
void Run::runFileTasks(const FileTaskContext& context, std::stop_source& groupStop, GroupOutcome& outcome) {
    std::mutex mutex;
    std::size_t cursor = 0;
    const std::stop_token token = groupStop.get_token();

    auto fail = [&](const Error& error) {
        std::lock_guard lock(mutex);
        if (!outcome.firstError) outcome.firstError = error;
        groupStop.request_stop();
    };

    auto worker = [&] {
        std::vector<CarriedRow> slice;
        std::chrono::steady_clock::time_point sliceStart;
        // A row refused here (the run is ending) leaves its file unstarted,
        // so the carry-over written at the end still keeps it.
        auto flush = [&] {
            if (slice.empty()) return;
            std::optional<Error> failure;
            const std::size_t written = writeCarriedSlice(slice, token, failure);
            for (std::size_t i = 0; i < written; ++i) outcome.started[slice[i].index] = 1;
            slice.clear();
            if (failure) fail(*failure);
        };
        for (;;) {
            std::size_t index = 0;
            {
                std::lock_guard lock(mutex);
                if (outcome.firstError || cursor == m_files.size()) break;
                index = cursor++;
            }
            if (!token.stop_requested()) {
                if (auto carried = carriedRow(index, context)) {
                    if (slice.empty()) sliceStart = std::chrono::steady_clock::now();
                    slice.push_back(std::move(*carried));
                    if (slice.size() == kCarrySliceSize ||
                        std::chrono::steady_clock::now() - sliceStart >= kCarrySliceHold) {
                        flush();
                    }
                    continue;
                }
            }
            // Rows already found go out before a tool run that may take minutes.
            flush();
            bool began = false;
            auto result = analyzeFile(m_files[index], context, token, &began);
            outcome.started[index] = began;  // each index belongs to one worker
            if (!result) fail(result.error());
        }
        flush();
    };

    const auto limit = static_cast<std::size_t>(parallelismLimit(m_settings));
    const std::size_t count = std::min(limit, m_files.size());
    std::vector<std::jthread> workers;
    workers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        try {
            workers.emplace_back(worker);
        } catch (const std::system_error& e) {
            // A limit far beyond what the system allows: run with the threads
            // we got; with none the run cannot go on.
            if (!workers.empty()) break;
            std::lock_guard lock(mutex);
            outcome.firstError = Error(e.code());
        }
    }
    // jthread joins on destruction; the workers end by themselves.
    workers.clear();
}

std::optional<CarriedRow> Run::carriedRow(std::size_t index, const FileTaskContext& context) const {
    const std::string relativePath = repairUtf8(makeRelativePath(m_files[index], context.folderPath));
    const MetaEntry stamp = fileStamp(m_files[index]);
    auto row = carriedOverFor(relativePath, stamp, context);
    if (!row) return std::nullopt;
    return CarriedRow{index, repairUtf8(m_files[index].filename().native()), std::move(*row), stamp};
}

std::size_t Run::writeCarriedSlice(const std::vector<CarriedRow>& slice, std::stop_token stop,
                                   std::optional<Error>& failure) {
    std::size_t written = 0;
    onMain([&] {
        for (const CarriedRow& carried : slice) {
            m_sink.setCurrentFileName(carried.fileName);
            auto result = m_writer->write(carried.row, carried.stamp, stop);
            if (!result) {
                failure = result.error();
                return;
            }
            m_sink.countProcessed(false);
            ++written;
        }
    });
    return written;
}

std::optional<Error> Run::writeUnstartedCarryOvers(const FileTaskContext& context,
                                                   const std::vector<char>& started) {
    std::vector<CarriedRow> rows;
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        if (started[i]) continue;
        if (auto row = carriedRow(i, context)) rows.push_back(std::move(*row));
    }
    for (std::size_t first = 0; first < rows.size(); first += kCarrySliceSize) {
        const std::size_t last = std::min(rows.size(), first + kCarrySliceSize);
        std::optional<Error> failure;
        onMain([&] {
            // A token that is never requested: these rows are written because
            // the run is ending, so the cancel must not refuse them.
            for (std::size_t i = first; i < last && !failure; ++i) {
                auto written = m_writer->write(rows[i].row, rows[i].stamp, std::stop_token{});
                if (!written) failure = written.error();
            }
        });
        if (failure) return failure;
    }
    return std::nullopt;
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
