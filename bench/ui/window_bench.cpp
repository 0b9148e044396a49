// Window benchmarks, run by hand: `bench_ui_window [FILES [ROWS]]` (defaults
// 20000 and 200000; ROWS 0 leaves out the first).
//  1. Opening a folder whose volume_gains.csv holds ROWS rows: the time until
//     the results view shows them, the window's resident memory then, and the
//     time to sort them by gain and by path. Measured first, in a fresh process.
//  2. One refresh, ffmpeg look-up included, against the look-up alone.
//  3. An incremental rerun over FILES unchanged stand-in files: the window with
//     the real engine against quellmark-cli on the same folder, both measured
//     here, in this run.
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QProcess>
#include <QTableView>
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
#include "ui/result_cells.h"

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

// The resident set of this process, now and at its peak, in MiB.
std::pair<double, double> residentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    double now = 0, peak = 0;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) now = std::stod(line.substr(6)) / 1024;
        if (line.starts_with("VmHWM:")) peak = std::stod(line.substr(6)) / 1024;
    }
    return {now, peak};
}

std::filesystem::path writeLargeCsv(int rows) {
    const auto folder = std::filesystem::temp_directory_path() / ("quellmark-bench-csv-" + std::to_string(rows));
    std::filesystem::create_directories(folder);
    std::ofstream csv(folder / "volume_gains.csv");
    csv << "relative_path,file_name,title,artist,duration_sec,measured_lufs,true_peak_dbfs,gain_db,status,"
           "leading_silence_sec,trailing_silence_sec\n";
    for (int i = 0; i < rows; ++i) {
        const std::string name = std::to_string(i % 20 + 1) + " Ein Titel von Lied " + std::to_string(i) + ".flac";
        const int lufs10 = -300 + (i * 7919) % 280;
        csv << "Künstler " << i / 200 << "/Album " << i / 20 % 10 << "/" << name << "," << name << ",Ein Titel von Lied "
            << i << ",Künstler " << i / 200 << "," << 120 + i % 300 << ".5," << lufs10 / 10 << "." << -lufs10 % 10
            << ",-1.2," << (i % 50 == 0 ? "0,error:decode_failed" : "3.5,ok") << ",0.2,1.4\n";
    }
    return folder;
}

void benchOpen(int rows) {
    const std::filesystem::path folder = writeLargeCsv(rows);
    MainWindow window(std::make_unique<NullEngine>(), AppSettings{});
    window.resize(1100, 900);
    window.show();
    QCoreApplication::processEvents();
    auto* table = window.findChild<QTableView*>(QStringLiteral("resultsTable"));
    QElapsedTimer timer;
    timer.start();
    window.setFolder(folder);
    while (table->model()->rowCount() < rows) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    table->repaint();
    const double openMs = msSince(timer);
    const auto [rss, peak] = residentMiB();
    std::printf("open a folder whose volume_gains.csv has %d rows: %.0f ms to show them; resident %.0f MiB (peak %.0f MiB)\n",
                rows, openMs, rss, peak);
    for (const auto column : {ResultColumn::gain, ResultColumn::path}) {
        timer.restart();
        table->sortByColumn(int(column), Qt::DescendingOrder);
        table->repaint();
        std::printf("  sort %d rows by %s: %.0f ms\n", rows, resultColumnTitle(column).c_str(), msSince(timer));
    }
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

struct WindowRun {
    double ms = 0;
    long long refreshes = 0;
    double redrawMs = 0;  ///< refreshes and paints: the main thread's time the run could not have
};

/// A rerun in a window of the first size it opens with, or at its minimum size
/// (`smallest`), where the results view has no room and is hidden.
WindowRun runWindow(const std::filesystem::path& folder, const AppSettings& settings, int intervalMs, bool smallest) {
    auto engine = AnalysisEngine::create(std::make_shared<QtMainThread>());
    MainWindow window(makeEnginePort(engine), settings);
    window.setRefreshIntervalMs(intervalMs);
    if (smallest) window.resize(window.minimumSize());
    window.show();
    window.setFolder(folder);
    // As a person would: the folder's previous rows are on show (and the
    // window drawn) before the run starts.
    auto* table = window.findChild<QTableView*>(QStringLiteral("resultsTable"));
    QElapsedTimer shown;
    shown.start();
    while (table->model()->rowCount() == 0 && shown.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    QCoreApplication::processEvents();
    window.refresh();
    const long long refreshesBefore = window.refreshCount(), redrawBefore = window.redrawNanoseconds();
    QElapsedTimer timer;
    timer.start();
    window.startRun();
    // Blocking until events come, as the application's own loop does: with a
    // time limit, processEvents does not wait at all and would spin, taking a
    // processor from the run.
    while (engine->snapshot().state == State::running) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return {msSince(timer), window.refreshCount() - refreshesBefore, (window.redrawNanoseconds() - redrawBefore) / 1e6};
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
    constexpr int kRounds = 9;
    const struct {
        const char* name;
        int intervalMs;
        bool smallest;
    } variants[] = {
        {"one refresh per frame", 16, false},
        {"the same at minimum size", 16, true},
        {"one refresh per loop pass", 0, false},
    };
    std::vector<double> cli;
    std::vector<std::vector<double>> times(std::size(variants));
    std::vector<WindowRun> last(std::size(variants));
    for (int round = 0; round < kRounds; ++round) {
        cli.push_back(runCli(folder, ffmpeg));
        for (std::size_t v = 0; v < std::size(variants); ++v) {
            last[v] = runWindow(folder, settings, variants[v].intervalMs, variants[v].smallest);
            times[v].push_back(last[v].ms);
        }
    }
    const double cliMs = median(cli);
    std::printf("incremental rerun of %d files, median of %d: cli %.0f ms\n", files, kRounds, cliMs);
    for (std::size_t v = 0; v < std::size(variants); ++v) {
        std::printf("  window, %-26s %4.0f ms (ratio to cli %.2f); last run %lld refreshes, %.1f ms drawing\n",
                    variants[v].name, median(times[v]), median(times[v]) / cliMs, last[v].refreshes, last[v].redrawMs);
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
    if (const int rows = argc > 2 ? std::stoi(argv[2]) : 200000; rows > 0) benchOpen(rows);
    benchRefresh();
    benchRerun(files);
    return 0;
}
