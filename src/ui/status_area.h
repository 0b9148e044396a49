#pragma once

#include <QWidget>

#include "ui/view_model.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace quellmark {

class ElidedLabel;

/// The status area between the two divider lines: hint, scanning row, progress,
/// counts, current file, outcome and the run button. It keeps no state: `apply`
/// shows a view model, and the buttons only emit signals.
class StatusArea final : public QWidget {
    Q_OBJECT
public:
    explicit StatusArea(QWidget* parent = nullptr);
    void apply(const ViewModel& view);

signals:
    void runClicked();
    void revealClicked();

private:
    QWidget* buildScanningRow();
    QWidget* buildCountsRow();
    QWidget* buildCompletionRow();
    QProgressBar* makeSpinner(QWidget* parent);

    QLabel* m_idleHint;
    QWidget* m_scanningRow;
    QProgressBar* m_progress;
    QWidget* m_countsRow;
    QLabel* m_counts;
    QLabel* m_errorCount;
    QLabel* m_remaining;
    ElidedLabel* m_currentFile;
    QWidget* m_completionRow;
    QLabel* m_completionIcon;
    QLabel* m_completion;
    QPushButton* m_revealButton;
    QLabel* m_cancellation;
    QLabel* m_runWarning;
    QPushButton* m_runButton;
    QProgressBar* m_cancelBusy;
    std::optional<bool> m_shownWarns;
};

}  // namespace quellmark
