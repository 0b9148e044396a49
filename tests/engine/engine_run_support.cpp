#include "engine_run_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

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

struct Entry {
    std::string tool;
    bool isStart = false;
    std::string file;
};

std::vector<Entry> entries() {
    std::vector<Entry> result;
    std::istringstream in(readFile(logPath()));
    // <tool> start|end <time> <pid> <file>; the file may hold spaces.
    for (std::string line, kind, time, pid; std::getline(in, line);) {
        std::istringstream fields(line);
        Entry& entry = result.emplace_back();
        fields >> entry.tool >> kind >> time >> pid;
        std::getline(fields >> std::ws, entry.file);
        entry.isStart = kind == "start";
    }
    return result;
}

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

void ToolLog::reset() { writeFile(logPath(), ""); }

int ToolLog::starts() {
    int count = 0;
    for (const auto& entry : entries()) count += entry.isStart;
    return count;
}

int ToolLog::maxInFlight() {
    int now = 0, most = 0;
    for (const auto& entry : entries()) most = std::max(most, now += entry.isStart ? 1 : -1);
    return most;
}

std::vector<std::string> ToolLog::measuredFiles(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& entry : entries()) {
        if (entry.isStart && entry.tool == "ffmpeg") files.push_back(fs::path(entry.file).lexically_relative(folder));
    }
    return files;
}

bool expires(const std::weak_ptr<AnalysisEngine>& engine) {
    for (int i = 0; i < 10000 && !engine.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return engine.expired();
}

EngineHarness::EngineHarness()
    : m_queue(std::make_shared<SerialQueue>()), m_engine(AnalysisEngine::create(m_queue)) {
    m_engine->addObserver([this] { snapshots.push_back(m_engine->snapshot()); });
}

void EngineHarness::run(const fs::path& folder, const AppSettings& settings) {
    m_engine->start(folder, settings);
    serveUntilEnded();
}

void EngineHarness::serveUntilEnded() {
    m_queue->serveUntil([this] { return m_engine->snapshot().state != State::running; });
}

std::vector<std::string> csvPaths(const fs::path& csvFile) {
    std::vector<std::string> paths;
    std::istringstream in(readFile(csvFile));
    std::string line;
    for (std::getline(in, line); std::getline(in, line);) paths.push_back(line.substr(0, line.find(',')));
    return paths;
}

}  // namespace quellmark::test
