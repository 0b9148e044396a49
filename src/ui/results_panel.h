#pragma once

#include <QWidget>
#include <memory>
#include <vector>

#include "ui/loudness_histogram.h"
#include "ui/view_model.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QTableView;

namespace quellmark {

class HistogramWidget;
class ResultsModel;

/// The results view in the window's flexible space: a path filter, a
/// failed-only toggle and the count of shown rows, a line about a previous
/// file, the loudness histogram and the table. It asks for no room of its own:
/// at the window's minimum height it gets none, and below a useful height it
/// hides its parts. GUI thread only.
class ResultsPanel final : public QWidget {
    Q_OBJECT
public:
    explicit ResultsPanel(QWidget* parent = nullptr);
    ~ResultsPanel() override;

    /// Shows the rows of `log`: a log not shown before from its first row, the
    /// shown one from where it was last taken. Rows above the first one in
    /// view keep it in view, so the table never jumps while the person reads.
    void showRows(const std::shared_ptr<const ResultLog>& log);
    /// Filter and toggle states; the texts and flags of `view`.
    void apply(const ViewModel& view);
    /// What the view model needs to know of the shown rows and the selection.
    ResultsInputs inputs() const;
    void setFailedOnly(bool on);
    /// The actions offered in the table's context menu.
    void setContextActions(const QList<QAction*>& actions);

    /// The selected rows' entries, in shown order.
    std::vector<const ResultEntry*> selectedEntries() const;
    /// The entry of the current row, if any.
    const ResultEntry* currentEntry() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    /// A row was activated (double-click or Enter).
    void rowActivated();
    /// The filter or the selection changed; the window refreshes.
    void changed();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildToolbar();
    void applyFilter();
    void updatePartsVisible();

    ResultsModel* m_model;
    LoudnessHistogram m_histogram;
    std::shared_ptr<const ResultLog> m_histogramLog;
    std::size_t m_histogramRows = 0;
    bool m_hasRows = false;
    bool m_showContents = false;
    QWidget* m_toolbar;
    QLineEdit* m_filter;
    QCheckBox* m_failedOnly;
    QLabel* m_count;
    QLabel* m_notice;
    HistogramWidget* m_histogramView;
    QTableView* m_table;
};

}  // namespace quellmark
