#pragma once
// One batch run, from the scan to the final published state. The engine
// launches it on its run thread; everything it publishes, and every call of
// the writer, goes through the main thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stop_token>
#include <string>

#include "engine/analysis_engine.h"
#include "settings/app_settings.h"

namespace quellmark {

class MainThread;

/// The engine's published fields as the run changes them. Every member is
/// called on the main thread only.
class RunSink {
public:
    virtual ~RunSink() = default;
    virtual void setTotalCount(std::int64_t count) = 0;
    virtual void setCurrentFileName(const std::string& fileName) = 0;
    /// Rows were written: they join the run's results (moved from `entries`),
    /// with one published change; counted rows also advance processedCount
    /// (and errorCount when their status is not ok).
    virtual void addRows(std::span<ResultEntry> entries, bool counted) = 0;
    virtual void setState(State state) = 0;
    virtual void setOutputURL(std::optional<std::filesystem::path> url) = 0;
    virtual void setErrorMessage(std::optional<std::string> message) = 0;
};

/// Scans `folder`, analyses every listed file with at most parallelismLimit
/// files in flight, and ends in exactly one of finished, finished with a
/// message, or cancelled. Blocks the calling (background) thread until the
/// last published change has been made; never reports anything but through
/// `sink`. `runStop` is the run's cancellation.
void runBatch(const std::filesystem::path& folder, const AppSettings& settings, std::stop_token runStop,
              MainThread& mainThread, RunSink& sink);

}  // namespace quellmark
