#pragma once
// Runs the engine against the stand-in ffmpeg and ffprobe of tests/tools and
// records what it published and which tools it started.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/analysis_engine.h"
#include "engine/main_thread.h"
#include "settings/app_settings.h"

namespace quellmark::test {

/// A stand-in audio file: "QMFAKE" and the given key=value lines.
void writeFakeAudio(const std::filesystem::path& path, std::string_view keyValueLines = "");

/// Settings that point at the stand-in tools, with a fixed parallelism.
AppSettings fakeToolSettings(std::int64_t parallelism = 2);

/// The stand-ins' start/end log (QM_FAKE_LOG), one per test process.
class ToolLog {
public:
    struct Entry {
        std::string tool;
        bool isStart = false;
        std::string file;
    };
    /// Empties the log; call before a run.
    static void reset();
    static std::vector<Entry> entries();
    /// Number of tool runs that started.
    static int starts();
    /// The most tool runs in flight at once.
    static int maxInFlight();
    /// The files whose ffmpeg run started, in order.
    static std::vector<std::string> measuredFiles();
};

/// One engine served by a SerialQueue on the test's thread. Every observer
/// call is recorded as a snapshot.
class EngineHarness {
public:
    EngineHarness();
    /// Waits (bounded) until a run still in flight has let go of the engine.
    ~EngineHarness();

    /// start, then serve the main thread until the state leaves running.
    void run(const std::filesystem::path& folder, const AppSettings& settings);
    /// Serves the main thread until the state leaves running.
    void serveUntilEnded();

    SerialQueue& queue() { return *m_queue; }
    AnalysisEngine& engine() { return *m_engine; }
    std::vector<EngineSnapshot> snapshots;

private:
    std::shared_ptr<SerialQueue> m_queue;
    std::shared_ptr<AnalysisEngine> m_engine;
};

/// The lines of a CSV after the header, without line feeds.
std::vector<std::string> csvRows(const std::filesystem::path& csvFile);
/// The first field of a CSV line (no quoting needed in these tests).
std::string firstField(const std::string& line);

}  // namespace quellmark::test
