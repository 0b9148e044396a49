// Renders the window in each of its states to PNG files, on the offscreen
// platform, so its look can be checked by eye: `ui_screenshots OUTPUT_DIR`.
// scripts/screenshots.sh builds and runs it.
#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QPainter>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "ui/engine_port.h"
#include "ui/main_window.h"

using namespace quellmark;

namespace {

// An engine that only shows what it is given: each picture publishes the
// state to draw, and a start or a cancel changes nothing behind the window.
class StillEngine final : public EnginePort {
public:
    void publish(EngineSnapshot next) {
        m_snapshot = std::move(next);
        if (m_onChange) m_onChange();
    }
    EngineSnapshot snapshot() const override { return m_snapshot; }
    void start(std::filesystem::path, AppSettings) override {}
    void cancel() override {}
    void clearErrorMessage() override {
        EngineSnapshot next = m_snapshot;
        next.errorMessage.reset();
        publish(std::move(next));
    }
    void observe(std::function<void()> onChange) override { m_onChange = std::move(onChange); }

private:
    EngineSnapshot m_snapshot;
    std::function<void()> m_onChange;
};

EngineSnapshot snapshot(State state, std::int64_t total, std::int64_t processed, std::int64_t errors,
                        std::optional<std::filesystem::path> csv = {}, std::optional<std::string> message = {}) {
    EngineSnapshot s;
    s.state = state;
    s.totalCount = total;
    s.processedCount = processed;
    s.errorCount = errors;
    s.outputURL = std::move(csv);
    s.errorMessage = std::move(message);
    return s;
}

// A finished run over a small library: loudness spread around -16 LUFS, a few
// files far beyond the clamp, a silent one and three that failed.
std::shared_ptr<const ResultLog> sampleRun() {
    auto log = std::make_shared<ResultLog>(-18.0, 12.0);
    const char* albums[] = {"Abendmusik", "Hafenlieder", "Nachtzug nach Lissabon", "Sommer 1983"};
    const char* artists[] = {"Kammerensemble Nord", "Die Kraniche", "Marta Sousa", "Radio Kassette"};
    for (int i = 0; i < 46; ++i) {
        const int album = i / 12, track = i % 12 + 1;
        const std::string title = "Track " + std::to_string(track) + (track % 5 == 0 ? " (Live)" : "");
        const std::string file = (track < 10 ? "0" : "") + std::to_string(track) + " " + title + ".flac";
        double lufs = i == 3 ? -34.6 : i == 17 ? -36.2 : i == 29 ? -3.9 : -16.0 + 5.0 * std::sin(i * 1.7) + (album - 1.5) * 1.5;
        lufs = std::round(lufs * 10) / 10;
        const std::string path = std::string(albums[album]) + "/" + file;
        AnalyzeResult row{path, file, title, artists[album], 150 + (i * 37) % 240 + 0.4, i == 33 ? NAN : lufs,
                          std::round(std::min(-0.1, lufs + 14.0) * 10) / 10,
                          i == 33 ? 0 : std::round(std::clamp(-18.0 - lufs, -12.0, 12.0) * 10) / 10, RowStatus::ok,
                          (i % 4) * 0.3, (i % 3) * 1.1, true};
        std::string reason;
        if (i == 9 || i == 22 || i == 40) {
            row = {path, file, title, artists[album], NAN, NAN, NAN, 0, RowStatus::decodeFailed, 0, 0, true};
            reason = i == 22 ? "ffmpeg が終了コード 1 で終了しました: Invalid data found when processing input"
                             : "ffmpeg が終了コード 183 で終了しました: moov atom not found";
        }
        log->append({std::make_shared<const AnalyzeResult>(row), reason, RowOrigin::measured});
    }
    return log;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(outDir);

    const EngineSnapshot idle;
    EngineSnapshot running = snapshot(State::running, 340, 12, 3);
    running.currentFileName = "01 - Ein ziemlich langer Titel eines Stücks mit Gästen und Remix (Extended Version).flac";
    running.estimatedRemainingSeconds = 125.0;
    const std::filesystem::path csv = "/home/user/Musik/volume_gains.csv";
    EngineSnapshot withRows = snapshot(State::finished, 46, 46, 3, csv);
    withRows.results = sampleRun();
    const struct {
        const char* name;
        EngineSnapshot engine;
        bool expanded = false, withFolder = true, hideFfmpeg = false, failedOnly = false;
        const char* press = nullptr;  ///< "cancel" presses キャンセル, "menu" opens the first menu
    } shots[] = {
        {"01-idle-no-folder", idle, false, false},
        {"02-idle", idle},
        {"03-scanning", snapshot(State::running, 0, 0, 0)},
        {"04-running", running},
        {"05-finished-with-errors", snapshot(State::finished, 340, 340, 3, csv)},
        {"06-cancelled", snapshot(State::cancelled, 340, 57, 0, csv)},
        {"07-error-alert", snapshot(State::finished, 0, 0, 0, {}, "対象となる音声ファイルが見つかりませんでした。")},
        {"08-settings-expanded", idle, true},
        {"09-running-settings-expanded", running, true},
        {"10-ffmpeg-missing", idle, false, true, true},
        {"results-table", withRows},
        {"results-failed-only", withRows, false, true, false, true},
        {"cancelling", running, false, true, false, false, "cancel"},
        {"menu", withRows, false, true, false, false, "menu"},
    };
    const QByteArray searchPath = qgetenv("PATH");
    for (const auto& shot : shots) {
        // Debian's ffmpeg is found only through `which`, which needs PATH.
        qputenv("PATH", shot.hideFfmpeg ? QByteArray("/nonexistent") : searchPath);
        auto engine = std::make_unique<StillEngine>();
        StillEngine& state = *engine;
        AppSettings settings;
        if (shot.expanded) settings.ffmpegPath = "/opt/ffmpeg/bin/ffmpeg";
        MainWindow window(std::move(engine), settings);
        if (shot.withFolder) {
            window.setFolder("/home/user/Musik/Sammlung/Klassik/Orchesterwerke/Aufnahmen 1950-1980/"
                             "Rundfunk-Sinfonieorchester/Live-Mitschnitte/Festspiele/Abschlusskonzert");
        }
        // Published after the folder is chosen, as a run on that folder would.
        state.publish(shot.engine);
        window.setSettingsExpanded(shot.expanded);
        if (shot.engine.results) window.resize(1300, 820);
        window.show();
        window.refresh();
        if (shot.failedOnly) window.findChild<QCheckBox*>(QStringLiteral("failedOnly"))->setChecked(true);
        const std::string_view press = shot.press ? shot.press : "";
        if (press == "cancel") window.findChild<QPushButton*>(QStringLiteral("runButton"))->click();
        auto* bar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
        QMenu* menu = press == "menu" ? bar->actions().first()->menu() : nullptr;
        if (menu) menu->popup(bar->mapToGlobal(QPoint(0, bar->height())));
        window.refresh();
        // Layouts and elisions settle in posted events.
        for (const QDeadlineTimer settled(200); !settled.hasExpired();) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        // Dialogs and menus are windows of their own: draw them over the window.
        QPixmap picture = window.grab();
        if (menu) {
            QPainter painter(&picture);
            painter.drawPixmap(window.mapFromGlobal(menu->pos()), menu->grab());
        }
        for (QMessageBox* box : window.findChildren<QMessageBox*>()) {
            if (!box->isVisible()) continue;
            QPainter painter(&picture);
            const QPixmap dialog = box->grab();
            painter.fillRect(picture.rect(), QColor(0, 0, 0, 60));
            painter.drawPixmap((picture.width() - dialog.width()) / 2, (picture.height() - dialog.height()) / 3, dialog);
        }
        const QString file = outDir + QLatin1Char('/') + QLatin1String(shot.name) + QStringLiteral(".png");
        if (!picture.save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        std::printf("%s (%dx%d)\n", qPrintable(file), window.width(), window.height());
    }
    return 0;
}
