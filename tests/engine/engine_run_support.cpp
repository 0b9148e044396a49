#include "engine_run_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace quellmark::test {
namespace {

// One log per process, named before any test starts a thread, so that the
// environment is never changed while children are being spawned.
const fs::path& logPath() {
    static const fs::path path = [] {
        fs::path p = fs::temp_directory_path() / ("quellmark-engine-tools-" + std::to_string(getpid()) + ".log");
        setenv("QM_FAKE_LOG", p.c_str(), 1);
        return p;
    }();
    return path;
}

[[maybe_unused]] const bool kLogNamed = !logPath().empty();

}  // namespace

void writeFakeAudio(const fs::path& path, std::string_view keyValueLines) {
    writeFile(path, "QMFAKE\n" + std::string(keyValueLines));
}

AppSettings fakeToolSettings(std::int64_t parallelism) {
    AppSettings settings;
    settings.ffmpegPath = std::string(QUELLMARK_TEST_TOOLS_DIR) + "/ffmpeg";
    settings.parallelism = parallelism;
    return settings;
}

void ToolLog::reset() { std::ofstream(logPath(), std::ios::trunc); }

std::vector<ToolLog::Entry> ToolLog::entries() {
    std::vector<Entry> result;
    std::istringstream in(readFile(logPath()));
    std::string line;
    while (std::getline(in, line)) {
        // <tool> start|end <time> <pid> <file>; the file may hold spaces.
        std::istringstream fields(line);
        Entry entry;
        std::string kind, time, pid;
        fields >> entry.tool >> kind >> time >> pid;
        std::getline(fields >> std::ws, entry.file);
        entry.isStart = kind == "start";
        result.push_back(std::move(entry));
    }
    return result;
}

int ToolLog::starts() {
    int count = 0;
    for (const auto& entry : entries()) count += entry.isStart;
    return count;
}

int ToolLog::maxInFlight() {
    int now = 0, most = 0;
    for (const auto& entry : entries()) {
        now += entry.isStart ? 1 : -1;
        most = std::max(most, now);
    }
    return most;
}

std::vector<std::string> ToolLog::measuredFiles() {
    std::vector<std::string> files;
    for (const auto& entry : entries()) {
        if (entry.isStart && entry.tool == "ffmpeg") files.push_back(entry.file);
    }
    return files;
}

EngineHarness::EngineHarness()
    : m_queue(std::make_shared<SerialQueue>()), m_engine(AnalysisEngine::create(m_queue)) {
    m_engine->addObserver([this] { snapshots.push_back(m_engine->snapshot()); });
}

EngineHarness::~EngineHarness() {
    std::weak_ptr<AnalysisEngine> weak = m_engine;
    m_engine.reset();
    // The run thread drops its reference just after the final published
    // change; tests must not end while it still runs.
    for (int i = 0; i < 10000 && !weak.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void EngineHarness::run(const fs::path& folder, const AppSettings& settings) {
    m_engine->start(folder, settings);
    serveUntilEnded();
}

void EngineHarness::serveUntilEnded() {
    m_queue->serveUntil([this] { return m_engine->state() != State::running; });
}

std::vector<std::string> csvRows(const fs::path& csvFile) {
    std::vector<std::string> rows;
    std::istringstream in(readFile(csvFile));
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (!header) rows.push_back(line);
        header = false;
    }
    return rows;
}

std::string firstField(const std::string& line) { return line.substr(0, line.find(',')); }

}  // namespace quellmark::test
