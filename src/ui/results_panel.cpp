#include "ui/results_panel.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/histogram_widget.h"
#include "ui/results_model.h"
#include "ui/style.h"

namespace quellmark {

namespace {

// Below these heights of its own, the panel shows nothing, then no histogram:
// a table of one or two rows or a squashed chart helps nobody.
constexpr int kMinTableHeight = 110;
constexpr int kMinHistogramHeight = 300;

// The last column, the reason, takes the rest of the width.
constexpr int kColumnWidths[kResultColumnCount - 1] = {220, 100, 100, 50, 105, 130, 80, 95, 95, 130};

QString qText(const std::string& text) { return QString::fromStdString(text); }

// A path keeps its folder and its file name when shortened; other texts keep
// their beginning.
class MiddleElidingDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = Qt::ElideMiddle;
    }
};

}  // namespace

ResultsPanel::ResultsPanel(QWidget* parent) : QWidget(parent), m_model(new ResultsModel(this)) {
    setObjectName(QStringLiteral("results"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    m_notice = new QLabel(this);
    m_notice->setObjectName(QStringLiteral("resultsNotice"));
    m_notice->setTextFormat(Qt::PlainText);
    m_notice->setWordWrap(true);
    applyTextStyle(m_notice, TextStyle::caption);
    m_histogramView = new HistogramWidget(m_histogram, this);

    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("resultsTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideRight);
    m_table->setItemDelegateForColumn(int(ResultColumn::path), new MiddleElidingDelegate(m_table));
    m_table->setContextMenuPolicy(Qt::ActionsContextMenu);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    QHeaderView* header = m_table->horizontalHeader();
    header->setStretchLastSection(true);
    header->setHighlightSections(false);
    for (int column = 0; column + 1 < kResultColumnCount; ++column) header->resizeSection(column, kColumnWidths[column]);
    // Unsorted at first: the rows in the order they were written. A third
    // click on a header returns to that order.
    header->setSortIndicatorClearable(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    m_table->setSortingEnabled(true);

    layout->addWidget(buildToolbar());
    layout->addWidget(m_notice);
    layout->addWidget(m_histogramView);
    layout->addWidget(m_table, 1);

    connect(m_table, &QTableView::activated, this, &ResultsPanel::rowActivated);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, &ResultsPanel::changed);
    updatePartsVisible();
}

ResultsPanel::~ResultsPanel() = default;

QWidget* ResultsPanel::buildToolbar() {
    m_toolbar = new QWidget(this);
    auto* row = new QHBoxLayout(m_toolbar);
    row->setContentsMargins(0, 0, 0, 0);
    m_filter = new QLineEdit(m_toolbar);
    m_filter->setObjectName(QStringLiteral("resultsFilter"));
    m_filter->setPlaceholderText(QStringLiteral("パスで絞り込み"));
    m_filter->setClearButtonEnabled(true);
    m_failedOnly = new QCheckBox(QStringLiteral("エラーのみ表示"), m_toolbar);
    m_failedOnly->setObjectName(QStringLiteral("failedOnly"));
    m_count = new QLabel(m_toolbar);
    m_count->setObjectName(QStringLiteral("resultsCount"));
    applyTextStyle(m_count, TextStyle::caption);
    applyColorRole(m_count, ColorRole::secondary);
    row->addWidget(m_filter, 1);
    row->addWidget(m_failedOnly);
    row->addWidget(m_count);
    connect(m_filter, &QLineEdit::textChanged, this, &ResultsPanel::applyFilter);
    connect(m_failedOnly, &QCheckBox::toggled, this, &ResultsPanel::applyFilter);
    return m_toolbar;
}

void ResultsPanel::applyFilter() {
    m_model->setFilter(m_failedOnly->isChecked(), m_filter->text().toStdString());
    emit changed();
}

void ResultsPanel::setFailedOnly(bool on) { m_failedOnly->setChecked(on); }

void ResultsPanel::setContextActions(const QList<QAction*>& actions) { m_table->addActions(actions); }

void ResultsPanel::showRows(const std::shared_ptr<const ResultLog>& log) {
    const ResultTable& table = m_model->table();
    if (log != table.log()) {
        m_model->setLog(log);
        m_histogram.reset(log ? log->targetLUFS() : 0, log ? log->clampDB() : 0);
        m_histogramRows = 0;
    } else if (log) {
        QScrollBar* bar = m_table->verticalScrollBar();
        const int top = bar->value() > 0 ? m_table->rowAt(0) : -1;
        const std::optional<std::uint32_t> anchor =
            top >= 0 ? std::optional(table.logIndex(static_cast<std::size_t>(top))) : std::nullopt;
        const int offset = top >= 0 ? m_table->rowViewportPosition(top) : 0;
        m_model->takeNewRows();
        if (const auto row = anchor ? table.shownRowOf(*anchor) : std::nullopt) {
            m_table->doItemsLayout();
            bar->setValue(m_table->verticalHeader()->sectionPosition(static_cast<int>(*row)) - offset);
        }
    }
    m_hasRows = log != nullptr;
    if (m_histogramRows == table.takenCount()) return;
    for (; m_histogramRows < table.takenCount(); ++m_histogramRows) m_histogram.add(*(*log)[m_histogramRows].row);
    m_histogramView->update();
}

void ResultsPanel::apply(const ViewModel& view) {
    m_count->setText(qText(view.resultsCountText));
    m_notice->setText(qText(view.resultsNoticeText));
    applyColorRole(m_notice, view.resultsNoticeRole);
    {
        const QSignalBlocker blocker(m_failedOnly);
        m_failedOnly->setChecked(view.failedOnlyChecked);
    }
    m_failedOnly->setEnabled(view.failedOnlyEnabled);
    m_showContents = view.showResults;
    updatePartsVisible();
}

ResultsInputs ResultsPanel::inputs() const {
    const ResultTable& table = m_model->table();
    ResultsInputs inputs;
    inputs.hasRows = m_hasRows;
    inputs.shown = table.shownCount();
    inputs.total = table.takenCount();
    inputs.failedOnly = table.isFailedOnly();
    // Whole rows are selected, so every range spans all columns: count its rows once.
    for (const QItemSelectionRange& range : m_table->selectionModel()->selection()) {
        if (range.left() != 0) continue;
        inputs.selected += static_cast<std::size_t>(range.height());
        for (int row = range.top(); row <= range.bottom() && !inputs.selectionHasReason; ++row)
            inputs.selectionHasReason = !m_model->entryAt(row)->reason.empty();
    }
    return inputs;
}

std::vector<const ResultEntry*> ResultsPanel::selectedEntries() const {
    QModelIndexList rows = m_table->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<const ResultEntry*> entries;
    for (const QModelIndex& index : rows) entries.push_back(m_model->entryAt(index.row()));
    return entries;
}

const ResultEntry* ResultsPanel::currentEntry() const { return m_model->entryAt(m_table->currentIndex().row()); }

QSize ResultsPanel::sizeHint() const { return {0, 0}; }
QSize ResultsPanel::minimumSizeHint() const { return {0, 0}; }

void ResultsPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updatePartsVisible();
}

void ResultsPanel::updatePartsVisible() {
    const bool wanted = m_showContents;
    const bool room = height() >= kMinTableHeight;
    m_toolbar->setVisible(wanted && room);
    m_table->setVisible(wanted && room);
    m_histogramView->setVisible(wanted && height() >= kMinHistogramHeight);
    m_notice->setVisible(wanted && room && !m_notice->text().isEmpty());
}

}  // namespace quellmark
