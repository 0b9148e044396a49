#include "ui/status_area.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <limits>

#include "ui/elided_label.h"
#include "ui/style.h"

namespace quellmark {

namespace {

QString qText(const std::string& text) { return QString::fromStdString(text); }

QLabel* makeLabel(const QString& text, TextStyle style, ColorRole role, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    applyTextStyle(label, style);
    applyColorRole(label, role);
    return label;
}

// QProgressBar counts in int; a larger run is drawn at a reduced scale.
void setProgress(QProgressBar* bar, std::int64_t value, std::int64_t total) {
    constexpr std::int64_t kMaxSteps = std::numeric_limits<int>::max();
    if (total > kMaxSteps) {
        value = static_cast<std::int64_t>(double(value) / double(total) * double(kMaxSteps));
        total = kMaxSteps;
    }
    // QProgressBar repaints itself at once on a new value, outside the
    // window's one paint per frame; with updates off it only marks itself
    // for that paint.
    bar->setUpdatesEnabled(false);
    bar->setRange(0, static_cast<int>(total));
    bar->setValue(static_cast<int>(std::clamp<std::int64_t>(value, 0, total)));
    bar->setUpdatesEnabled(true);
}

}  // namespace

StatusArea::StatusArea(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    m_idleHint = makeLabel(QStringLiteral("解析を開始するとここに進捗が表示されます。"), TextStyle::callout,
                           ColorRole::secondary, this);
    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_currentFile = new ElidedLabel(this);
    m_currentFile->setObjectName(QStringLiteral("currentFile"));
    applyTextStyle(m_currentFile, TextStyle::caption);
    m_cancellation = makeLabel(QString(), TextStyle::callout, ColorRole::orange, this);
    m_cancellation->setObjectName(QStringLiteral("cancellation"));
    m_runWarning = makeLabel(QString(), TextStyle::callout, ColorRole::orange, this);
    m_runWarning->setObjectName(QStringLiteral("runWarning"));

    m_runButton = new QPushButton(QStringLiteral("解析開始"), this);
    m_runButton->setObjectName(QStringLiteral("runButton"));
    m_runButton->setDefault(true);
    makeProminent(m_runButton);
    connect(m_runButton, &QPushButton::clicked, this, &StatusArea::runClicked);

    layout->addWidget(m_idleHint);
    layout->addWidget(buildScanningRow());
    layout->addWidget(m_progress);
    layout->addWidget(buildCountsRow());
    layout->addWidget(m_currentFile);
    layout->addWidget(buildCompletionRow());
    layout->addWidget(m_cancellation);
    layout->addWidget(m_runWarning);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(8);
    buttonRow->addWidget(m_runButton);
    m_cancelBusy = makeSpinner(this);
    m_cancelBusy->setObjectName(QStringLiteral("cancelBusy"));
    buttonRow->addWidget(m_cancelBusy, 0, Qt::AlignVCenter);
    buttonRow->addStretch(1);
    layout->addLayout(buttonRow);
}

QWidget* StatusArea::buildScanningRow() {
    m_scanningRow = new QWidget(this);
    auto* row = new QHBoxLayout(m_scanningRow);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    row->addWidget(makeSpinner(m_scanningRow), 0, Qt::AlignVCenter);
    row->addWidget(
        makeLabel(QStringLiteral("フォルダをスキャン中…"), TextStyle::callout, ColorRole::primary, m_scanningRow));
    row->addStretch(1);
    return m_scanningRow;
}

// A small indeterminate bar: the toolkit's busy indication without a count.
QProgressBar* StatusArea::makeSpinner(QWidget* parent) {
    auto* spinner = new QProgressBar(parent);
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedSize(48, 10);
    return spinner;
}

QWidget* StatusArea::buildCountsRow() {
    m_countsRow = new QWidget(this);
    auto* row = new QHBoxLayout(m_countsRow);
    row->setContentsMargins(0, 0, 0, 0);
    m_counts = makeLabel(QString(), TextStyle::caption, ColorRole::secondary, m_countsRow);
    m_counts->setObjectName(QStringLiteral("counts"));
    m_errorCount = makeLabel(QString(), TextStyle::caption, ColorRole::red, m_countsRow);
    m_errorCount->setObjectName(QStringLiteral("errorCount"));
    m_remaining = makeLabel(QString(), TextStyle::caption, ColorRole::secondary, m_countsRow);
    m_remaining->setObjectName(QStringLiteral("remaining"));
    row->addWidget(m_counts);
    row->addWidget(m_errorCount);
    row->addStretch(1);
    row->addWidget(m_remaining);
    return m_countsRow;
}

QWidget* StatusArea::buildCompletionRow() {
    m_completionRow = new QWidget(this);
    auto* row = new QHBoxLayout(m_completionRow);
    row->setContentsMargins(0, 0, 0, 0);
    m_completionIcon = new QLabel(m_completionRow);
    m_completion = makeLabel(QString(), TextStyle::callout, ColorRole::green, m_completionRow);
    m_completion->setObjectName(QStringLiteral("completion"));
    m_revealButton = new QPushButton(QStringLiteral("ファイルマネージャで表示"), m_completionRow);
    m_revealButton->setObjectName(QStringLiteral("revealButton"));
    connect(m_revealButton, &QPushButton::clicked, this, &StatusArea::revealClicked);
    row->addWidget(m_completionIcon);
    row->addWidget(m_completion);
    row->addStretch(1);
    row->addWidget(m_revealButton);
    return m_completionRow;
}

void StatusArea::apply(const ViewModel& view) {
    m_idleHint->setVisible(view.showIdleHint);
    m_scanningRow->setVisible(view.showScanning);
    m_progress->setVisible(view.showProgress);
    if (view.showProgress) setProgress(m_progress, view.progressValue, view.progressTotal);
    m_countsRow->setVisible(view.showCounts);
    m_counts->setText(qText(view.countsText));
    m_errorCount->setVisible(view.showErrorCount);
    m_errorCount->setText(qText(view.errorCountText));
    m_remaining->setVisible(view.showRemaining);
    m_remaining->setText(qText(view.remainingText));
    m_currentFile->setVisible(view.showCurrentFile);
    m_currentFile->setFullText(qText(view.currentFileText));
    m_completionRow->setVisible(view.showCompletion);
    m_completion->setText(qText(view.completionText));
    if (view.showCompletion && m_shownWarns != view.completionWarns) {
        // A run that analysed nothing ends with a warning, not the success mark.
        m_shownWarns = view.completionWarns;
        const int size = m_completion->fontMetrics().height();
        m_completionIcon->setPixmap(
            view.completionWarns
                ? tintedSymbol(this, "dialog-warning-symbolic", QStyle::SP_MessageBoxWarning,
                               roleColor(this, ColorRole::orange), size)
                : tintedSymbol(this, "emblem-ok-symbolic", QStyle::SP_DialogApplyButton,
                               roleColor(this, ColorRole::green), size));
        applyColorRole(m_completion, view.completionWarns ? ColorRole::orange : ColorRole::green);
    }
    m_cancellation->setVisible(view.showCancellation);
    m_cancellation->setText(qText(view.cancellationText));
    m_runWarning->setVisible(view.showRunWarning);
    m_runWarning->setText(qText(view.runWarningText));
    m_runButton->setText(qText(view.runButtonText));
    m_runButton->setEnabled(view.runButtonEnabled);
    m_cancelBusy->setVisible(view.showCancelBusy);
}

}  // namespace quellmark
