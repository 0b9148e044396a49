#include "ui/results_source.h"

namespace quellmark {

ResultsSource::ResultsSource(std::function<void()> onRead)
    : m_onRead(std::move(onRead)), m_reader([this](std::shared_ptr<const ResultLog> log, ResultFileReport report) {
          m_shownLog = std::move(log);
          m_previousReport = report;
          m_onRead();
      }) {}

void ResultsSource::chooseFolder(const std::optional<std::filesystem::path>& folder, const AppSettings& settings) {
    if (folder == m_shownFolder) return;
    m_shownLog.reset();
    m_previousReport.reset();
    m_shownFolder = folder;
    if (folder)
        m_reader.read(*folder, settings.targetLUFS, settings.clampDB);
    else
        m_reader.cancel();
}

void ResultsSource::sync(const EngineSnapshot& engine) {
    if (engine.results != m_engineLog) {
        m_engineLog = engine.results;
        m_tally = {};
        if (m_engineLog) {
            m_reader.cancel();
            m_previousReport.reset();
            m_shownLog = m_engineLog;
            m_shownFolder = m_runFolder;
        }
    }
    if (m_engineLog) m_tally.take(*m_engineLog);
}

std::filesystem::path ResultsSource::fileOf(const ResultEntry& entry) const {
    return m_shownFolder.value_or(std::filesystem::path()) / entry.row->relative_path;
}

}  // namespace quellmark
