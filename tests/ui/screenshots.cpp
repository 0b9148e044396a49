// Renders the window in each of its states to PNG files, on the offscreen
// platform, so its look can be checked by eye: `ui_screenshots OUTPUT_DIR`.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPainter>
#include <cstdio>

#include "fake_engine.h"
#include "ui/main_window.h"

using namespace quellmark;

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
    const struct {
        const char* name;
        EngineSnapshot engine;
        bool expanded = false, withFolder = true, hideFfmpeg = false;
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
    };
    const QByteArray searchPath = qgetenv("PATH");
    for (const auto& shot : shots) {
        // Debian's ffmpeg is found only through `which`, which needs PATH.
        qputenv("PATH", shot.hideFfmpeg ? QByteArray("/nonexistent") : searchPath);
        auto state = std::make_shared<test::FakeEngineState>();
        state->snapshot = shot.engine;
        AppSettings settings;
        if (shot.expanded) settings.ffmpegPath = "/opt/ffmpeg/bin/ffmpeg";
        MainWindow window(std::make_unique<test::FakeEngine>(state), settings);
        if (shot.withFolder) {
            window.setFolder("/home/user/Musik/Sammlung/Klassik/Orchesterwerke/Aufnahmen 1950-1980/"
                             "Rundfunk-Sinfonieorchester/Live-Mitschnitte/Festspiele/Abschlusskonzert");
        }
        window.setSettingsExpanded(shot.expanded);
        window.show();
        window.refresh();
        test::waitUntil([] { return false; }, 200);
        // Dialogs are windows of their own: draw them over the dimmed window.
        QPixmap picture = window.grab();
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
