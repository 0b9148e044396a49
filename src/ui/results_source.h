#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "engine/analysis_engine.h"
#include "ui/previous_results.h"
#include "ui/result_table.h"

namespace quellmark {

/// Which rows the results view shows and the folder their paths are relative
/// to: the current run's rows from the moment it starts, or the chosen
/// folder's previous volume_gains.csv until then. Rows of another folder are
/// never left on show, since the reveal and the copy would take their paths
/// relative to the wrong folder. GUI thread only.
class ResultsSource {
public:
    /// `onRead` is called on the GUI thread when a previous file has been read.
    explicit ResultsSource(std::function<void()> onRead);

    /// The person chose `folder` (nothing runs): its previous file is read,
    /// unless its rows are already on show.
    void chooseFolder(const std::optional<std::filesystem::path>& folder, const AppSettings& settings);
    /// A run on `folder` is being started; its rows follow with the next sync.
    void startRun(const std::filesystem::path& folder) { m_runFolder = folder; }
    /// Takes the engine's rows: a new log is a new run, which replaces the rows on show.
    void sync(const EngineSnapshot& engine);

    const std::shared_ptr<const ResultLog>& shownLog() const { return m_shownLog; }
    /// The file a shown row stands for.
    std::filesystem::path fileOf(const ResultEntry& entry) const;
    /// What the read of a previous file skipped, while its rows are on show.
    const std::optional<ResultFileReport>& previousFile() const { return m_previousReport; }
    bool isReading() const { return m_reader.isReading(); }
    /// What the current run measured and how much of it lacked ffmpeg.
    const RunTally& tally() const { return m_tally; }

private:
    std::shared_ptr<const ResultLog> m_engineLog;
    RunTally m_tally;
    std::shared_ptr<const ResultLog> m_shownLog;
    std::optional<std::filesystem::path> m_shownFolder;
    std::optional<std::filesystem::path> m_runFolder;
    std::optional<ResultFileReport> m_previousReport;
    std::function<void()> m_onRead;
    /// Last, so it stops first: its deliveries write the members above.
    PreviousResultsReader m_reader;
};

}  // namespace quellmark
