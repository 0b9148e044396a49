#include "ui/main_window.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QScreen>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <unistd.h>

#include "media/tool_locator.h"
#include "settings/defaults_store.h"
#include "ui/elided_label.h"
#include "ui/file_manager.h"
#include "ui/footer.h"
#include "ui/results_panel.h"
#include "ui/results_source.h"
#include "ui/settings_panel.h"
#include "ui/status_area.h"
#include "ui/style.h"
#include "ui/window_menu.h"
#include "ui/window_state.h"

namespace quellmark {

namespace {

constexpr QSize kMinimumWindowSize{560, 460};
// Room for the results view on first start; the minimum stays the floor.
constexpr QSize kFirstWindowSize{820, 760};
// One redraw per display frame at most: a fast run publishes thousands of
// changes a second, so redrawing per change would throttle the run. While a
// redraw runs, every hand-off of the run waits for this thread, so redraws are
// also spaced to keep them to about a tenth of the thread's time.
constexpr int kFrameIntervalMs = 16;
constexpr qint64 kRedrawTimeShare = 10;
// However slow a redraw, progress shows at least this often (about seven
// times a second).
constexpr qint64 kLongestRedrawSpacingMs = 150;

QFrame* makeDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QString localPath(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

// The folder a drop stands for: a dropped folder itself, a dropped file's folder.
std::optional<std::filesystem::path> droppedFolder(const QMimeData* mime) {
    if (!mime || !mime->hasUrls() || mime->urls().isEmpty() || !mime->urls().first().isLocalFile()) return std::nullopt;
    const std::filesystem::path path(QFile::encodeName(mime->urls().first().toLocalFile()).toStdString());
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return path;
    if (std::filesystem::exists(path, error)) return path.parent_path();
    return std::nullopt;
}

// The same test as the tool search's: executable and not a folder.
bool isExecutableFile(const std::string& path) {
    if (::access(path.c_str(), X_OK) != 0) return false;
    std::error_code error;
    return !std::filesystem::is_directory(path, error);
}

}  // namespace

MainWindow::MainWindow(std::unique_ptr<EnginePort> engine, AppSettings settings, QWidget* parent)
    : QWidget(parent),
      m_engine(std::move(engine)),
      m_settings(std::move(settings)),
      m_refreshIntervalMs(kFrameIntervalMs) {
    setWindowTitle(QStringLiteral("Quellmark"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(16);
    // The window's minimum is the larger of its fixed floor and what the content
    // needs; event() keeps it so as the content changes.
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    m_status = new StatusArea(this);
    m_settingsPanel = new SettingsPanel(this);
    m_footer = new Footer(this);
    m_results = new ResultsPanel(this);
    m_menu = new WindowMenu(this);
    // In the layout, above its margins and outside the stack of eight.
    layout->setMenuBar(m_menu);
    m_source = std::make_unique<ResultsSource>([this] { requestRefresh(); });
    layout->addWidget(buildHeading());
    layout->addWidget(buildFolderRow());
    layout->addWidget(makeDivider(this));
    layout->addWidget(m_status);
    layout->addWidget(makeDivider(this));
    layout->addWidget(m_settingsPanel);
    // The flexible space: it takes what the window has beyond its content and
    // asks for nothing, so the minimum size is what it was without it.
    layout->addWidget(m_results, 1);
    layout->addWidget(m_footer);

    setAcceptDrops(true);
    connectMenu();
    connectSignals();
    m_engine->observe([this] { requestRefresh(); });
    m_sinceRefresh.start();
    refresh();
    // Measured once the first refresh has hidden the rows this state lacks.
    setMinimumSize(kMinimumWindowSize.expandedTo(layout->totalMinimumSize()));
    const QSize room = screen() ? screen()->availableGeometry().size() * 9 / 10 : kFirstWindowSize;
    resize(kFirstWindowSize.boundedTo(room).expandedTo(minimumSize()));
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::buildHeading() {
    auto* heading = new QWidget(this);
    auto* layout = new QVBoxLayout(heading);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* title = new QLabel(QStringLiteral("Quellmark"), heading);
    applyTextStyle(title, TextStyle::title2);
    auto* subtitle = new QLabel(
        QStringLiteral("フォルダ内の音声ファイルのラウドネスを一括解析し、CSVに補正値を出力します。"), heading);
    applyTextStyle(subtitle, TextStyle::callout);
    applyColorRole(subtitle, ColorRole::secondary);
    subtitle->setWordWrap(true);
    layout->addWidget(title);
    layout->addWidget(subtitle);
    return heading;
}

QWidget* MainWindow::buildFolderRow() {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* icon = new QLabel(row);
    const int size = fontMetrics().height();
    icon->setPixmap(symbolIcon(this, "folder", QStyle::SP_DirIcon).pixmap(size, size));
    m_folderLabel = new ElidedLabel(row);
    m_folderLabel->setObjectName(QStringLiteral("folderLabel"));
    m_chooseButton = new QPushButton(QStringLiteral("フォルダを選択…"), row);
    m_chooseButton->setObjectName(QStringLiteral("chooseFolder"));
    layout->addWidget(icon);
    layout->addWidget(m_folderLabel, 1);
    layout->addWidget(m_chooseButton);
    return row;
}

void MainWindow::connectMenu() {
    // The window owns the shortcuts too, so they work with every menu closed.
    addActions(m_menu->allActions());
    connect(m_menu->chooseFolder, &QAction::triggered, this, &MainWindow::chooseFolder);
    connect(m_menu->start, &QAction::triggered, this, &MainWindow::startRun);
    connect(m_menu->cancel, &QAction::triggered, this, &MainWindow::cancelRun);
    connect(m_menu->revealCsv, &QAction::triggered, this, [this] {
        if (m_shownCsvToReveal) revealOutput(*m_shownCsvToReveal);
    });
    connect(m_menu->quit, &QAction::triggered, this, &QWidget::close);
    connect(m_menu->revealFile, &QAction::triggered, this, &MainWindow::revealSelectedFile);
    connect(m_menu->copyPath, &QAction::triggered, this, &MainWindow::copySelectedPaths);
    connect(m_menu->copyReason, &QAction::triggered, this, &MainWindow::copySelectedReasons);
    connect(m_menu->failedOnly, &QAction::toggled, m_results, &ResultsPanel::setFailedOnly);
    connect(m_menu->about, &QAction::triggered, this, &MainWindow::showAbout);
    m_results->setContextActions({m_menu->revealFile, m_menu->copyPath, m_menu->copyReason});
}

void MainWindow::connectSignals() {
    connect(m_chooseButton, &QPushButton::clicked, this, &MainWindow::chooseFolder);
    connect(m_status, &StatusArea::runClicked, this, &MainWindow::toggleRun);
    connect(m_status, &StatusArea::revealClicked, this, [this] {
        if (m_shownRevealTarget) revealOutput(*m_shownRevealTarget);
    });
    connect(m_results, &ResultsPanel::changed, this, &MainWindow::requestRefresh);
    connect(m_results, &ResultsPanel::rowActivated, this, &MainWindow::revealSelectedFile);
    connect(m_settingsPanel, &SettingsPanel::targetEdited, this,
            [this](double value) { editSettings([value](AppSettings& s) { s.targetLUFS = value; }); });
    connect(m_settingsPanel, &SettingsPanel::clampEdited, this,
            [this](double value) { editSettings([value](AppSettings& s) { s.clampDB = value; }); });
    connect(m_settingsPanel, &SettingsPanel::stepperEdited, this, [this](int value) {
        editSettings([value](AppSettings& s) { s.parallelism = parallelismFromStepper(value); });
    });
    connect(m_settingsPanel, &SettingsPanel::incrementalEdited, this,
            [this](bool on) { editSettings([on](AppSettings& s) { s.incremental = on; }); });
    connect(m_settingsPanel, &SettingsPanel::ffmpegBrowseClicked, this, &MainWindow::chooseFfmpeg);
    connect(m_settingsPanel, &SettingsPanel::ffmpegPathEdited, this, [this](const QString& text) {
        editSettings([path = text.toStdString()](AppSettings& s) { s.ffmpegPath = ffmpegPathFromText(path); });
    });
}

template <typename Edit>
void MainWindow::editSettings(Edit edit) {
    edit(m_settings);
    requestRefresh();
}

void MainWindow::setFolder(std::optional<std::filesystem::path> folder) {
    m_folder = std::move(folder);
    if (m_engine->snapshot().state != State::running) m_source->chooseFolder(m_folder, m_settings);
    requestRefresh();
}

void MainWindow::setSettingsExpanded(bool expanded) { m_settingsPanel->setExpanded(expanded); }

void MainWindow::rememberIn(DefaultsStore store) {
    m_memory = std::move(store);
    const WindowState state = decodeWindowState(m_memory->data(kWindowStateKey).value_or(""));
    if (!state.geometry.empty()) restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(state.geometry)));
    std::error_code error;
    if (state.folder && std::filesystem::is_directory(*state.folder, error)) setFolder(*state.folder);
}

void MainWindow::saveWindowState() {
    if (!m_memory) return;
    WindowState state{m_folder, saveGeometry().toBase64().toStdString()};
    m_memory->setData(kWindowStateKey, encodeWindowState(state));
}

void MainWindow::pickFolder(const std::filesystem::path& folder) {
    setFolder(folder);
    saveWindowState();
}

void MainWindow::chooseFfmpeg() {
    const QString start = m_ffmpegLocation ? localPath(m_ffmpegLocation->parent_path()) : QStringLiteral("/usr/bin");
    const QString chosen = QFileDialog::getOpenFileName(this, QStringLiteral("ffmpeg を選択"), start);
    if (chosen.isEmpty()) return;
    editSettings([path = QFile::encodeName(chosen).toStdString()](AppSettings& s) { s.ffmpegPath = path; });
}

void MainWindow::showAbout() { QMessageBox::about(this, QStringLiteral("Quellmarkについて"), aboutText()); }

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (m_engine->snapshot().state != State::running && droppedFolder(event->mimeData())) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    const auto folder = droppedFolder(event->mimeData());
    if (!folder || m_engine->snapshot().state == State::running) return;
    event->acceptProposedAction();
    pickFolder(*folder);
}

void MainWindow::chooseFolder() {
    QFileDialog dialog(this);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("選択"));
    if (m_folder) dialog.setDirectory(localPath(*m_folder));
    if (dialog.exec() != QDialog::Accepted) return;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        setFolder(std::nullopt);
    else
        pickFolder(std::filesystem::path(QFile::encodeName(chosen.first()).toStdString()));
}

void MainWindow::toggleRun() {
    if (m_engine->snapshot().state == State::running)
        cancelRun();
    else
        startRun();
}

void MainWindow::cancelRun() {
    if (m_engine->snapshot().state != State::running) return;
    m_cancelRequested = true;
    m_engine->cancel();
    requestRefresh();
}

// The search may start `which`, so it is not repeated per redraw: only when
// the path setting changes, a run starts, or the person comes back to the
// window (having perhaps installed ffmpeg meanwhile).
const std::optional<std::filesystem::path>& MainWindow::ffmpegLocation() {
    // Compared as two steps: an absent outer and an absent inner optional
    // compare equal, which would skip the look-up for the automatic search.
    if (!m_ffmpegLookedUpFor || *m_ffmpegLookedUpFor != m_settings.ffmpegPath) {
        m_ffmpegLocation = locateTool("ffmpeg", m_settings.ffmpegPath);
        m_ffmpegPathUsable = !m_settings.ffmpegPath || isExecutableFile(*m_settings.ffmpegPath);
        m_ffmpegLookedUpFor = m_settings.ffmpegPath;
    }
    return m_ffmpegLocation;
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        forgetToolLocation();
        requestRefresh();
    }
}

void MainWindow::startRun() {
    // The menu's start has its own shortcut; a run already under way keeps its folder.
    if (!m_folder || m_engine->snapshot().state == State::running) return;
    forgetToolLocation();
    DefaultsStore store = DefaultsStore::standard();
    m_settings.save(store);
    m_cancelRequested = false;
    m_source->startRun(*m_folder);
    m_engine->start(*m_folder, m_settings);
    requestRefresh();
}

void MainWindow::revealOutput(const std::filesystem::path& file) { revealInFileManager(file, this); }

void MainWindow::revealSelectedFile() {
    if (const ResultEntry* entry = m_results->currentEntry()) revealOutput(m_source->fileOf(*entry));
}

void MainWindow::copySelectedPaths() {
    QStringList lines;
    for (const ResultEntry* entry : m_results->selectedEntries()) lines << localPath(m_source->fileOf(*entry));
    if (!lines.isEmpty()) QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

// One row gives its reason alone; several give path and reason per line, a
// tab between them, ready for a spreadsheet.
void MainWindow::copySelectedReasons() {
    const std::vector<const ResultEntry*> entries = m_results->selectedEntries();
    QStringList lines;
    for (const ResultEntry* entry : entries) {
        if (entry->reason.empty()) continue;
        const QString reason = QString::fromStdString(entry->reason);
        lines << (entries.size() == 1 ? reason : QString::fromStdString(entry->row->relative_path) + QLatin1Char('\t') + reason);
    }
    if (!lines.isEmpty()) QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void MainWindow::requestRefresh() {
    if (m_refreshPending) return;
    m_refreshPending = true;
    const qint64 spacing =
        m_refreshIntervalMs == 0
            ? 0
            : std::max<qint64>(m_refreshIntervalMs,
                               std::min(kLongestRedrawSpacingMs,
                                        std::max(m_lastRedrawNs, m_lastRefreshNs + m_paintNsSinceRefresh) *
                                            kRedrawTimeShare / 1'000'000));
    const qint64 wait = std::max<qint64>(0, spacing - m_sinceRefresh.elapsed());
    QTimer::singleShot(int(wait), this, [this] {
        if (m_refreshPending) refresh();
    });
}

void MainWindow::refresh() {
    m_refreshPending = false;
    ++m_refreshCount;
    m_sinceRefresh.restart();
    // The next request usually comes before this refresh's widgets are
    // painted, so it is spaced by the whole cost of the redraw before.
    m_lastRedrawNs = m_lastRefreshNs + m_paintNsSinceRefresh;
    m_paintNsSinceRefresh = 0;
    const EngineSnapshot engine = m_engine->snapshot();
    if (engine.state != State::running) m_cancelRequested = false;
    m_source->sync(engine);
    m_results->showRows(m_source->shownLog());
    const std::optional<std::filesystem::path> ffmpeg = ffmpegLocation();
    const ViewModel view = computeView(engine, m_settings, m_folder, ffmpeg, automaticParallelism(), windowInputs());

    m_folderLabel->setFullText(QString::fromStdString(view.folderText));
    applyColorRole(m_folderLabel, view.folderRole);
    m_chooseButton->setEnabled(view.chooseFolderEnabled);
    m_status->apply(view);
    m_shownRevealTarget = view.revealTarget;
    m_shownCsvToReveal = view.csvToReveal;
    m_settingsPanel->apply(view);
    m_footer->apply(view);
    m_results->apply(view);
    m_menu->apply(view);
    updateAlert(view.alertMessage);
    m_lastRefreshNs = m_sinceRefresh.nsecsElapsed();
    m_redrawNs += m_lastRefreshNs;

    if (m_closeRequested && engine.state != State::running) QTimer::singleShot(0, this, &QWidget::close);
}

WindowInputs MainWindow::windowInputs() const {
    WindowInputs inputs;
    inputs.cancelRequested = m_cancelRequested;
    inputs.ffmpegPathUsable = m_ffmpegPathUsable;
    inputs.measuredRows = m_source->tally().measured;
    inputs.rowsWithoutFfmpeg = m_source->tally().withoutFfmpeg;
    inputs.results = m_results->inputs();
    inputs.results.loading = m_source->isReading();
    inputs.results.previousFile = m_source->previousFile();
    return inputs;
}

void MainWindow::updateAlert(const std::optional<std::string>& message) {
    if (!message || m_closeRequested) {
        if (m_alert) m_alert->done(QMessageBox::Ok);
        return;
    }
    const QString text = QString::fromStdString(*message);
    if (m_alert) {
        m_alert->setText(text);
        return;
    }
    m_alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("エラー"), text, QMessageBox::NoButton, this);
    m_alert->setObjectName(QStringLiteral("errorAlert"));
    m_alert->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    m_alert->setAttribute(Qt::WA_DeleteOnClose);
    m_alert->setWindowModality(Qt::WindowModal);
    // finished() comes for every way of dismissing: the button, Escape, the close box.
    connect(m_alert, &QMessageBox::finished, this, &MainWindow::onAlertDismissed);
    m_alert->open();
}

void MainWindow::onAlertDismissed() {
    // The dismissed box deletes itself later; a new message meanwhile gets a new box.
    m_alert = nullptr;
    m_engine->clearErrorMessage();
    requestRefresh();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_engine->snapshot().state != State::running) {
        saveWindowState();
        event->accept();
        return;
    }
    // The run hands its last steps (installing the CSV) to this thread, so the
    // event loop must keep serving it: cancel, stay open, and close once the
    // run has left the running state.
    m_closeRequested = true;
    m_cancelRequested = true;
    m_engine->cancel();
    event->ignore();
    requestRefresh();
}

bool MainWindow::event(QEvent* event) {
    // The window's widgets are painted here, after a refresh has marked them
    // (and between refreshes for animations): a redraw costs the refresh and
    // every paint until the next one.
    if (event->type() == QEvent::UpdateRequest) {
        QElapsedTimer paint;
        paint.start();
        const bool handled = QWidget::event(event);
        m_paintNsSinceRefresh += paint.nsecsElapsed();
        m_redrawNs += paint.nsecsElapsed();
        return handled;
    }
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::LayoutRequest && layout()) {
        const QSize wanted = kMinimumWindowSize.expandedTo(layout()->totalMinimumSize());
        if (wanted != minimumSize()) setMinimumSize(wanted);
    }
    return handled;
}

}  // namespace quellmark
