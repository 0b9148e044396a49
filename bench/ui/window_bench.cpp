// Window benchmarks, run by hand: `bench_ui_window [FILES]` (default 20000).
//  1. One refresh, ffmpeg look-up included, against the look-up alone.
//  2. An incremental rerun over FILES unchanged stand-in files: the window with
//     the real engine against quellmark-cli on the same folder, both measured
//     here, in this run.
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

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

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void benchRefresh() {
    constexpr int kRounds = 7;
    constexpr int kCalls = 40;
    MainWindow window(std::make_unique<NullEngine>(), AppSettings{});
    window.show();
    std::vector<double> lookUps, refreshes;
    for (int round = 0; round < kRounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kCalls; ++i) (void)locateTool("ffmpeg", std::nullopt);
        lookUps.push_back(msSince(timer) / kCalls);
        timer.restart();
        for (int i = 0; i < kCalls; ++i) window.refresh();
        refreshes.push_back(msSince(timer) / kCalls);
    }
    const double lookUp = median(lookUps), refresh = median(refreshes);
    std::printf("refresh: %.3f ms each, median of %d (ffmpeg look-up alone %.3f ms; ratio %.2f)\n", refresh, kRounds,
                lookUp, refresh / lookUp);
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
    while (engine->snapshot().state == State::running)
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
    // Alternating rounds and medians: the machine is shared and noisy.
    constexpr int kRounds = 5;
    std::vector<double> cli, perFrame, perPass;
    long long framedRefreshes = 0, passRefreshes = 0;
    for (int round = 0; round < kRounds; ++round) {
        cli.push_back(runCli(folder, ffmpeg));
        perFrame.push_back(runWindow(folder, settings, 16, framedRefreshes));
        perPass.push_back(runWindow(folder, settings, 0, passRefreshes));
    }
    const double cliMs = median(cli);
    std::printf("incremental rerun of %d files, median of %d: cli %.0f ms\n", files, kRounds, cliMs);
    std::printf("  window, one refresh per frame:      %.0f ms (ratio to cli %.2f), %lld refreshes\n",
                median(perFrame), median(perFrame) / cliMs, framedRefreshes);
    std::printf("  window, one refresh per loop pass:  %.0f ms (ratio to cli %.2f), %lld refreshes\n",
                median(perPass), median(perPass) / cliMs, passRefreshes);
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
