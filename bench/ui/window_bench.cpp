// Window benchmarks, run by hand: `bench_ui_window [FILES]` (default 20000).
//  1. One refresh, ffmpeg look-up included, against the look-up alone.
//  2. An incremental rerun over FILES unchanged stand-in files: the window with
//     the real engine against quellmark-cli on the same folder, both measured
//     here, in this run.
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "media/tool_locator.h"
#include "ui/engine_port.h"
#include "ui/main_window.h"
#include "ui/qt_main_thread.h"

using namespace quellmark;

namespace {

class NullEngine final : public EnginePort {
public:
    EngineSnapshot snapshot() const override { return {}; }
    void start(std::filesystem::path, AppSettings) override {}
    void cancel() override {}
    void clearErrorMessage() override {}
    void observe(std::function<void()>) override {}
};

double msSince(QElapsedTimer& timer) { return timer.nsecsElapsed() / 1e6; }

void benchRefresh() {
    constexpr int kRounds = 200;
    MainWindow window(std::make_unique<NullEngine>(), AppSettings{});
    window.show();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kRounds; ++i)
        (void)locateTool("ffmpeg", std::nullopt);
    const double lookUp = msSince(timer) / kRounds;
    timer.restart();
    for (int i = 0; i < kRounds; ++i)
        window.refresh();
    const double refresh = msSince(timer) / kRounds;
    std::printf("refresh: %.3f ms each (ffmpeg look-up alone %.3f ms; ratio %.2f)\n", refresh, lookUp,
                refresh / lookUp);
}

double runCli(const std::filesystem::path& folder, const std::string& ffmpeg) {
    QElapsedTimer timer;
    timer.start();
    QProcess cli;
    cli.start(QStringLiteral(QUELLMARK_CLI_PATH),
              {QStringLiteral("--ffmpeg"), QString::fromStdString(ffmpeg), QStringLiteral("--incremental"),
               QString::fromStdString(folder.string())});
    cli.waitForFinished(-1);
    if (cli.exitCode() != 0) std::fprintf(stderr, "quellmark-cli exit %d\n", cli.exitCode());
    return msSince(timer);
}

double runWindow(const std::filesystem::path& folder, const AppSettings& settings, int intervalMs,
                 long long& refreshes) {
    auto engine = AnalysisEngine::create(std::make_shared<QtMainThread>());
    MainWindow window(makeEnginePort(engine), settings);
    window.setRefreshIntervalMs(intervalMs);
    window.show();
    window.setFolder(folder);
    window.refresh();
    const long long before = window.refreshCount();
    QElapsedTimer timer;
    timer.start();
    window.startRun();
    while (engine->state() == State::running)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double elapsed = msSince(timer);
    refreshes = window.refreshCount() - before;
    return elapsed;
}

void benchRerun(int files) {
    const auto folder = std::filesystem::temp_directory_path() / ("quellmark-bench-" + std::to_string(files));
    const std::string ffmpeg = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg";
    if (!std::filesystem::exists(folder / "volume_gains.csv")) {
        std::filesystem::create_directories(folder);
        for (int i = 0; i < files; ++i) {
            const auto dir = folder / ("d" + std::to_string(i / 500));
            std::filesystem::create_directories(dir);
            std::ofstream(dir / ("f" + std::to_string(i) + ".mp3")) << "QMFAKE\nlufs=-20.0\n";
        }
        std::printf("first full run over %d files (not measured)...\n", files);
        std::fflush(stdout);
        runCli(folder, ffmpeg);
    }
    AppSettings settings;
    settings.ffmpegPath = ffmpeg;
    const double cli = runCli(folder, ffmpeg);
    std::printf("incremental rerun of %d files: cli %.0f ms\n", files, cli);
    // Per frame (the window's way) and per event-loop pass, for comparison.
    for (const int intervalMs : {16, 0}) {
        long long refreshes = 0;
        const double window = runWindow(folder, settings, intervalMs, refreshes);
        std::printf("  window, refresh interval %2d ms: %.0f ms (ratio to cli %.2f), %lld refreshes\n", intervalMs,
                    window, window / cli, refreshes);
    }
    std::printf("(folder kept for later runs: %s)\n", folder.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Starting a run stores the settings: keep them away from the user's own.
    const auto config = std::filesystem::temp_directory_path() / "quellmark-bench-config";
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.string()));
    QApplication app(argc, argv);
    const int files = argc > 1 ? std::stoi(argv[1]) : 20000;
    benchRefresh();
    benchRerun(files);
    return 0;
}
