#pragma once
// Runs the engine against the stand-in ffmpeg and ffprobe of tests/tools and
// records which tools it started.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/analysis_engine.h"
#include "engine/main_thread.h"
#include "output/analyze_result.h"
#include "output/meta_entry.h"
#include "settings/app_settings.h"
#include "support/temp_dir.h"

namespace quellmark::test {

/// A stand-in audio file: "QMFAKE" and the given key=value lines.
void writeFakeAudio(const std::filesystem::path& path, std::string_view keyValueLines = "");

/// Settings that point at the stand-in tools, with a fixed parallelism.
AppSettings fakeToolSettings(std::int64_t parallelism = 2, bool incremental = true);

/// The stand-ins' start/end log (QM_FAKE_LOG), one per test process.
struct ToolLog {
    /// Empties the log; call before a run.
    static void reset();
    /// The most tool runs in flight at once.
    static int maxInFlight();
    /// The files whose ffmpeg run started, in order, relative to `folder`.
    static std::vector<std::string> measuredFiles(const std::filesystem::path& folder);
};

/// Waits (bounded) until the engine is gone: a run thread holds it until just
/// after its last published change, and tests must not end while it runs.
bool expires(const std::weak_ptr<AnalysisEngine>& engine);

/// One engine served by a SerialQueue on the test's thread.
class EngineHarness {
public:
    EngineHarness();
    ~EngineHarness();

    /// Empties the tool log, starts, and serves the main thread until the state leaves running.
    void run(const std::filesystem::path& folder, const AppSettings& settings);
    /// Serves the main thread until the state leaves running.
    void serveUntilEnded();

    AnalysisEngine& engine() { return *m_engine; }
    EngineSnapshot snapshot() const { return m_engine->snapshot(); }
    /// Observer calls so far.
    int changes = 0;

private:
    std::shared_ptr<SerialQueue> m_queue;
    std::shared_ptr<AnalysisEngine> m_engine;
};

/// The first field of each CSV line after the header (no quoting in these tests).
std::vector<std::string> csvPaths(const std::filesystem::path& csvFile);

}  // namespace quellmark::test

namespace quellmark {
namespace fs = std::filesystem;
using namespace test;
using Names = std::vector<std::string>;
}  // namespace quellmark
