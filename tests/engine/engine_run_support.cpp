#include "engine_run_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <utility>

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

// Calls `onEntry(tool, isStart, file)` per line "<tool> start|end <time> <pid> <file>".
template <class OnEntry>
void forEachEntry(OnEntry&& onEntry) {
    std::istringstream in(readFile(logPath()));
    for (std::string line, tool, kind, time, pid, file; std::getline(in, line);) {
        std::istringstream fields(line);
        fields >> tool >> kind >> time >> pid;
        std::getline(fields >> std::ws, file);
        onEntry(tool, kind == "start", file);
    }
}

}  // namespace

void writeFakeAudio(const fs::path& path, std::string_view keyValueLines) {
    writeFile(path, "QMFAKE\n" + std::string(keyValueLines));
}

AppSettings fakeToolSettings(std::int64_t parallelism, bool incremental) {
    AppSettings settings;
    settings.ffmpegPath = std::string(QUELLMARK_TEST_TOOLS_DIR) + "/ffmpeg";
    settings.parallelism = parallelism;
    settings.incremental = incremental;
    return settings;
}

void ToolLog::reset() { writeFile(logPath(), ""); }

int ToolLog::maxInFlight() {
    int now = 0, most = 0;
    forEachEntry([&](const std::string&, bool isStart, const std::string&) { most = std::max(most, now += isStart ? 1 : -1); });
    return most;
}

std::vector<std::string> ToolLog::measuredFiles(const fs::path& folder) {
    std::vector<std::string> files;
    forEachEntry([&](const std::string& tool, bool isStart, const std::string& file) {
        if (isStart && tool == "ffmpeg") files.push_back(fs::path(file).lexically_relative(folder));
    });
    return files;
}

bool expires(const std::weak_ptr<AnalysisEngine>& engine) {
    for (int i = 0; i < 10000 && !engine.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return engine.expired();
}

EngineHarness::EngineHarness() : m_queue(std::make_shared<SerialQueue>()), m_engine(AnalysisEngine::create(m_queue)) {
    m_engine->addObserver([this] { ++changes; });
}

EngineHarness::~EngineHarness() {
    std::weak_ptr<AnalysisEngine> weak = std::exchange(m_engine, nullptr);
    expires(weak);
}

void EngineHarness::run(const fs::path& folder, const AppSettings& settings) {
    ToolLog::reset();
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
