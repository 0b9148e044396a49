#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <optional>

#include "settings/app_settings.h"
#include "settings/defaults_store.h"
#include "ui/engine_port.h"
#include "ui/view_model.h"

class QAction;
class QMessageBox;
class QPushButton;

namespace quellmark {

class ElidedLabel;
class Footer;
class ResultsPanel;
class ResultsSource;
class SettingsPanel;
class StatusArea;
class WindowMenu;

/// The one window: a menu bar above heading, folder row, status area with the
/// run button, settings panel, the results view in the flexible space, and
/// footer. A folder dropped onto it is chosen as if picked. It owns the engine port, the working copy of the
/// settings and the chosen folder; what it shows is computed from those three
/// (and the ffmpeg look-up) by `refresh`, the only place that sets widgets.
/// Slots change the settings or the folder, or call the engine, and then ask
/// for a refresh; many requests before the next frame give one refresh.
/// GUI thread only.
class MainWindow final : public QWidget {
    Q_OBJECT
public:
    MainWindow(std::unique_ptr<EnginePort> engine, AppSettings settings, QWidget* parent = nullptr);
    ~MainWindow() override;

    const AppSettings& settings() const { return m_settings; }
    const std::optional<std::filesystem::path>& folder() const { return m_folder; }
    /// What the folder chooser does on confirmation. A folder other than the
    /// one whose rows are shown has its volume_gains.csv read into the results
    /// view (not while a run runs).
    void setFolder(std::optional<std::filesystem::path> folder);
    void setSettingsExpanded(bool expanded);
    /// Keeps the last folder and the window's size and position in `store`
    /// from now on, and takes them from it now: the last folder, when it still
    /// exists, is chosen (not run).
    void rememberIn(DefaultsStore store);
    /// How many refreshes have run; for measurements.
    long long refreshCount() const { return m_refreshCount; }
    /// The time spent in refreshes and paints so far; for measurements.
    long long redrawNanoseconds() const { return m_redrawNs; }
    /// True while a refresh has been asked for and has not run.
    bool isRefreshPending() const { return m_refreshPending; }
    /// The shortest time between two requested refreshes (one frame by default,
    /// longer when refreshes are slow); 0 refreshes on the next pass of the
    /// event loop. For measurements.
    void setRefreshIntervalMs(int ms) { m_refreshIntervalMs = ms; }

public slots:
    void chooseFolder();
    /// A folder the person chose (chooser, drop): shown and remembered.
    void pickFolder(const std::filesystem::path& folder);
    void chooseFfmpeg();
    void showAbout();
    void toggleRun();
    /// Asks the running run to stop; the button shows that it waits for it.
    void cancelRun();
    void startRun();
    void revealOutput(const std::filesystem::path& file);
    /// The results view's actions, on its selected rows.
    void revealSelectedFile();
    void copySelectedPaths();
    void copySelectedReasons();
    /// Recomputes the view and applies it to every widget, now.
    void refresh();
    /// Schedules one refresh; requests made before it runs share it.
    void requestRefresh();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    QWidget* buildHeading();
    QWidget* buildFolderRow();
    void connectMenu();
    void connectSignals();
    void saveWindowState();
    WindowInputs windowInputs() const;
    void updateAlert(const std::optional<std::string>& message);
    void onAlertDismissed();
    template <typename Edit>
    void editSettings(Edit edit);
    /// Where ffmpeg is for the current path setting: looked up once per setting
    /// and again only after forgetToolLocation().
    const std::optional<std::filesystem::path>& ffmpegLocation();
    void forgetToolLocation() { m_ffmpegLookedUpFor.reset(); }

    std::unique_ptr<EnginePort> m_engine;
    AppSettings m_settings;
    std::optional<std::filesystem::path> m_folder;
    std::optional<std::filesystem::path> m_shownRevealTarget;
    std::optional<std::filesystem::path> m_shownCsvToReveal;
    /// The path setting the cached look-up was made for (outer optional: none made).
    std::optional<std::optional<std::string>> m_ffmpegLookedUpFor;
    std::optional<std::filesystem::path> m_ffmpegLocation;
    bool m_ffmpegPathUsable = true;
    bool m_cancelRequested = false;

    ElidedLabel* m_folderLabel = nullptr;
    QPushButton* m_chooseButton = nullptr;
    StatusArea* m_status = nullptr;
    SettingsPanel* m_settingsPanel = nullptr;
    Footer* m_footer = nullptr;
    ResultsPanel* m_results = nullptr;
    WindowMenu* m_menu = nullptr;
    std::optional<DefaultsStore> m_memory;
    QPointer<QMessageBox> m_alert;

    bool m_refreshPending = false;
    bool m_closeRequested = false;
    long long m_refreshCount = 0;
    int m_refreshIntervalMs;
    qint64 m_lastRefreshNs = 0;
    qint64 m_paintNsSinceRefresh = 0;
    /// The last refresh and the painting that followed it.
    qint64 m_lastRedrawNs = 0;
    qint64 m_redrawNs = 0;
    QElapsedTimer m_sinceRefresh;
    /// Last, so its reading stops first: its deliveries call into this window.
    std::unique_ptr<ResultsSource> m_source;
};

}  // namespace quellmark
