#pragma once
// Runs the engine against the stand-in ffmpeg and ffprobe of tests/tools.

#include <chrono>
#include <thread>
#include <utility>

#include "engine/analysis_engine.h"
#include "engine/main_thread.h"
#include "output/meta_entry.h"
#include "support/temp_dir.h"

namespace quellmark {

namespace fs = std::filesystem;
using namespace test;
using Names = std::vector<std::string>;

/// A stand-in audio file: "QMFAKE" and the given key=value lines.
inline void writeFakeAudio(const fs::path& path, const std::string& keyValueLines = "") {
    writeFile(path, "QMFAKE\n" + keyValueLines);
}

/// Settings that point at the stand-in tools.
inline AppSettings fakeToolSettings(std::int64_t parallelism = 1, bool incremental = true) {
    return {.parallelism = parallelism, .incremental = incremental, .ffmpegPath = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg"};
}

/// Waits (bounded) until the engine is gone: a run thread holds it until just
/// after its last published change, and tests must not end while it runs.
inline bool expires(const std::weak_ptr<AnalysisEngine>& engine) {
    for (int i = 0; i < 10000 && !engine.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return engine.expired();
}

/// One engine served by a SerialQueue on the test's thread.
class EngineHarness {
public:
    EngineHarness() { m_engine->addObserver([this] { ++changes; }); }
    ~EngineHarness() {
        const std::weak_ptr<AnalysisEngine> engine = std::exchange(m_engine, nullptr);
        expires(engine);
    }

    /// Starts, and serves the main thread until the state leaves running.
    void run(const fs::path& folder, const AppSettings& settings = fakeToolSettings()) {
        m_engine->start(folder, settings);
        serveUntilEnded();
    }
    void serveUntilEnded() { m_queue->serveUntil([this] { return snapshot().state != State::running; }); }
    AnalysisEngine& engine() { return *m_engine; }
    EngineSnapshot snapshot() const { return m_engine->snapshot(); }
    /// The relative paths of the last run's published rows of one origin, in the order written.
    Names rows(RowOrigin origin) const {
        Names paths;
        const auto& log = *snapshot().results;
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (log[i].origin == origin) paths.push_back(log[i].row->relative_path);
        }
        return paths;
    }
    int changes = 0;  ///< observer calls so far

private:
    std::shared_ptr<SerialQueue> m_queue = std::make_shared<SerialQueue>();
    std::shared_ptr<AnalysisEngine> m_engine = AnalysisEngine::create(m_queue);
};

/// The first field of each CSV line after the header (no quoting in these tests).
inline Names csvPaths(const fs::path& csvFile) {
    Names paths;
    const std::string text = readFile(csvFile);
    for (size_t start = text.find('\n') + 1; start < text.size(); start = text.find('\n', start) + 1) {
        paths.push_back(text.substr(start, text.find_first_of(",\n", start) - start));
    }
    return paths;
}

}  // namespace quellmark
