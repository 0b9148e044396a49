#include "ui/previous_results.h"

#include <QMetaObject>
#include <system_error>

namespace quellmark {

PreviousResultsReader::PreviousResultsReader(OnRead onRead, QObject* parent)
    : QObject(parent), m_onRead(std::move(onRead)) {}

// The thread is joined here, while this object still exists: a delivery it
// posted meanwhile is dropped with the object's pending events.
PreviousResultsReader::~PreviousResultsReader() { cancel(); }

void PreviousResultsReader::cancel() {
    ++m_generation;
    m_reading = false;
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

bool PreviousResultsReader::read(const std::filesystem::path& folder, double targetLUFS, double clampDB) {
    cancel();
    const std::filesystem::path file = folder / "volume_gains.csv";
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(file, error))) return false;
    const unsigned generation = m_generation;
    m_reading = true;
    m_thread = std::jthread([this, file, targetLUFS, clampDB, generation](std::stop_token stop) {
        auto log = std::make_shared<ResultLog>(targetLUFS, clampDB);
        const ResultFileReport report = readResultRows(
            file, [&](AnalyzeResult&& row) { log->append({std::make_shared<const AnalyzeResult>(std::move(row)), {}, RowOrigin::carried}); }, {}, stop);
        if (stop.stop_requested()) return;
        // The log is complete before it is posted and never touched here again,
        // so the GUI thread is its only user from then on.
        QMetaObject::invokeMethod(
            this,
            [this, generation, log = std::shared_ptr<const ResultLog>(std::move(log)), report] {
                if (generation != m_generation) return;
                m_reading = false;
                m_onRead(log, report);
            },
            Qt::QueuedConnection);
    });
    return true;
}

}  // namespace quellmark
