#pragma once

#include <QObject>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "engine/result_log.h"

namespace quellmark {

/// Reads a folder's volume_gains.csv off the GUI thread, so a large one never
/// freezes the window. One read at a time: a new read (or cancel) stops the
/// one under way, whose rows are then never delivered. Never writes. Created,
/// used and destroyed on the GUI thread; destruction waits for the reading
/// thread, which stops within one chunk of the file.
class PreviousResultsReader final : public QObject {
    Q_OBJECT
public:
    /// `onRead` gets the rows and what was skipped, on the GUI thread.
    using OnRead = std::function<void(std::shared_ptr<const ResultLog>, ResultFileReport)>;
    PreviousResultsReader(OnRead onRead, QObject* parent = nullptr);
    ~PreviousResultsReader() override;

    /// Starts reading `folder`'s volume_gains.csv. The file does not record
    /// the settings it was made with, so the rows are judged (clamped or not)
    /// by `targetLUFS` and `clampDB`. False, and nothing started, when there is
    /// no such file.
    bool read(const std::filesystem::path& folder, double targetLUFS, double clampDB);
    void cancel();
    bool isReading() const { return m_reading; }

private:
    OnRead m_onRead;
    unsigned m_generation = 0;
    bool m_reading = false;
    std::jthread m_thread;
};

}  // namespace quellmark
