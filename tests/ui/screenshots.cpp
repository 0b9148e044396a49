// Renders the window in each of its states to PNG files, on the offscreen
// platform, so its look can be checked by eye: `ui_screenshots OUTPUT_DIR`.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QPainter>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "fake_engine.h"
#include "ui/main_window.h"

using namespace quellmark;

namespace {

// A finished run over a small library: loudness spread around -16 LUFS, a few
// files far beyond the clamp, a silent one and three that failed.
std::shared_ptr<const ResultLog> sampleRun() {
    auto log = std::make_shared<ResultLog>(-18.0, 12.0);
    const char* albums[] = {"Abendmusik", "Hafenlieder", "Nachtzug nach Lissabon", "Sommer 1983"};
    const char* artists[] = {"Kammerensemble Nord", "Die Kraniche", "Marta Sousa", "Radio Kassette"};
    for (int i = 0; i < 46; ++i) {
        const int album = i / 12, track = i % 12 + 1;
        AnalyzeResult row;
        const std::string title = "Track " + std::to_string(track) + (track % 5 == 0 ? " (Live)" : "");
        row.file_name = (track < 10 ? "0" : "") + std::to_string(track) + " " + title + ".flac";
        row.relative_path = std::string(albums[album]) + "/" + row.file_name;
        row.title = title;
        row.artist = artists[album];
        row.duration_sec = 150 + (i * 37) % 240 + 0.4;
        row.measured_lufs = std::round((-16.0 + 5.0 * std::sin(i * 1.7) + (album - 1.5) * 1.5) * 10) / 10;
        if (i == 3) row.measured_lufs = -34.6;
        if (i == 17) row.measured_lufs = -36.2;
        if (i == 29) row.measured_lufs = -3.9;
        row.true_peak_dbfs = std::round(std::min(-0.1, row.measured_lufs + 14.0) * 10) / 10;
        row.gain_db = std::round(std::clamp(-18.0 - row.measured_lufs, -12.0, 12.0) * 10) / 10;
        row.status = RowStatus::ok;
        row.leading_silence_sec = (i % 4) * 0.3;
        row.trailing_silence_sec = (i % 3) * 1.1;
        ResultEntry entry{row, {}, RowOrigin::measured};
        if (i == 9 || i == 22 || i == 40) {
            entry.row.measured_lufs = entry.row.true_peak_dbfs = entry.row.duration_sec = NAN;
            entry.row.gain_db = entry.row.leading_silence_sec = entry.row.trailing_silence_sec = 0;
            entry.row.status = RowStatus::decodeFailed;
            entry.reason = i == 22 ? "ffmpeg が終了コード 1 で終了しました: Invalid data found when processing input"
                                   : "ffmpeg が終了コード 183 で終了しました: moov atom not found";
        }
        if (i == 33) entry.row.measured_lufs = NAN, entry.row.gain_db = 0;
        log->append(std::move(entry));
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
    const EngineSnapshot running{
        State::running, 340, 12, 3,
        "01 - Ein ziemlich langer Titel eines Stücks mit Gästen und Remix (Extended Version).flac", {}, {}, 125.0, {}};
    const std::filesystem::path csv = "/home/user/Musik/volume_gains.csv";
    const EngineSnapshot withRows{State::finished, 46, 46, 3, "", csv, {}, {}, sampleRun()};
    const struct {
        const char* name;
        EngineSnapshot engine;
        bool expanded = false, withFolder = true, hideFfmpeg = false, failedOnly = false;
        const char* press = nullptr;  ///< "cancel" presses キャンセル, "menu" opens the first menu
    } shots[] = {
        {"01-idle-no-folder", idle, false, false},
        {"02-idle", idle},
        {"03-scanning", {State::running, 0, 0, 0, "", {}, {}, {}, {}}},
        {"04-running", running},
        {"05-finished-with-errors", {State::finished, 340, 340, 3, "", csv, {}, {}, {}}},
        {"06-cancelled", {State::cancelled, 340, 57, 0, "", csv, {}, {}, {}}},
        {"07-error-alert", {State::finished, 0, 0, 0, "", {}, "対象となる音声ファイルが見つかりませんでした。", {}, {}}},
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
        auto state = std::make_shared<test::FakeEngineState>();
        AppSettings settings;
        if (shot.expanded) settings.ffmpegPath = "/opt/ffmpeg/bin/ffmpeg";
        MainWindow window(std::make_unique<test::FakeEngine>(state), settings);
        if (shot.withFolder) {
            window.setFolder("/home/user/Musik/Sammlung/Klassik/Orchesterwerke/Aufnahmen 1950-1980/"
                             "Rundfunk-Sinfonieorchester/Live-Mitschnitte/Festspiele/Abschlusskonzert");
        }
        // Published after the folder is chosen, as a run on that folder would.
        state->publish(shot.engine);
        window.setSettingsExpanded(shot.expanded);
        if (shot.engine.results) window.resize(1300, 820);
        window.show();
        window.refresh();
        if (shot.failedOnly) window.findChild<QCheckBox*>(QStringLiteral("failedOnly"))->setChecked(true);
        const std::string_view press = shot.press ? shot.press : "";
        if (press == "cancel") window.findChild<QPushButton*>(QStringLiteral("runButton"))->click();
        QMenu* menu = nullptr;
        if (press == "menu") {
            auto* bar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
            menu = bar->actions().first()->menu();
            menu->popup(bar->mapToGlobal(bar->actionGeometry(bar->actions().first()).bottomLeft()));
        }
        window.refresh();
        test::waitUntil([] { return false; }, 200);
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
