#include "ui/results_model.h"

#include <QFont>

#include "ui/style.h"

namespace quellmark {

namespace {

// Beyond this many separate places, new rows are added at the end and then
// moved into place in one layout change: each separate insertion shifts every
// row after it, which for a long sorted table costs more than one merge.
constexpr std::size_t kMaxSeparateInsertions = 8;

QString qText(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

ResultsModel::ResultsModel(QObject* parent) : QAbstractTableModel(parent) {}

void ResultsModel::setLog(std::shared_ptr<const ResultLog> log) {
    beginResetModel();
    m_table.setLog(std::move(log));
    endResetModel();
}

void ResultsModel::takeNewRows() {
    const std::vector<ResultTable::Insertion> insertions = m_table.takeNewRows();
    if (insertions.size() <= kMaxSeparateInsertions) {
        for (const ResultTable::Insertion& insertion : insertions) {
            const int first = static_cast<int>(insertion.position);
            beginInsertRows({}, first, first + static_cast<int>(insertion.rows.size()) - 1);
            m_table.applyInsertion(insertion);
            endInsertRows();
        }
        return;
    }
    const std::size_t before = m_table.shownCount();
    std::size_t count = 0;
    for (const ResultTable::Insertion& insertion : insertions) count += insertion.rows.size();
    beginInsertRows({}, static_cast<int>(before), static_cast<int>(before + count) - 1);
    m_table.appendToShown(insertions);
    endInsertRows();
    changeLayout([&] { m_table.mergeShownFrom(before); });
}

void ResultsModel::setFilter(bool failedOnly, const std::string& pathText) {
    if (failedOnly == m_table.isFailedOnly() && pathText == m_table.pathFilter()) return;
    beginResetModel();
    m_table.setFilter(failedOnly, pathText);
    endResetModel();
}

const ResultEntry* ResultsModel::entryAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= m_table.shownCount()) return nullptr;
    return &m_table.entry(static_cast<std::size_t>(row));
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_table.shownCount());
}

int ResultsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kResultColumnCount; }

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
    const ResultEntry* entry = entryAt(index.row());
    if (!entry) return {};
    const auto column = static_cast<ResultColumn>(index.column());
    const bool failed = entry->row->status != RowStatus::ok;
    const bool clamped = column == ResultColumn::gain && m_table.log()->isClamped(*entry->row);
    switch (role) {
    case Qt::DisplayRole:
        return qText(resultCellText(*entry, column));
    case Qt::TextAlignmentRole:
        return isTextColumn(column) || column == ResultColumn::status ? QVariant()
                                                                      : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::ForegroundRole:
        if (failed && (column == ResultColumn::status || column == ResultColumn::reason))
            return accentColor(ColorRole::red);
        if (clamped) return accentColor(ColorRole::orange);
        return {};
    case Qt::FontRole:
        if (!clamped) return {};
        {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
    case Qt::ToolTipRole:
        if (clamped) return qText(clampedGainTooltip(*entry, *m_table.log()));
        if (isTextColumn(column)) return qText(resultCellText(*entry, column));
        return {};
    default:
        return {};
    }
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kResultColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return qText(resultColumnTitle(static_cast<ResultColumn>(section)));
}

void ResultsModel::sort(int column, Qt::SortOrder order) {
    std::optional<ResultColumn> by;
    if (column >= 0 && column < kResultColumnCount) by = static_cast<ResultColumn>(column);
    changeLayout([&] { m_table.sortBy(by, order == Qt::DescendingOrder); });
}

void ResultsModel::changeLayout(const std::function<void()>& change) {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<std::uint32_t> entries;
    entries.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before) entries.push_back(m_table.logIndex(static_cast<std::size_t>(index.row())));
    change();
    if (!before.isEmpty()) {
        // One pass over the shown rows maps every entry to its new row.
        std::vector<int> rowOf(m_table.takenCount(), -1);
        for (std::size_t row = 0; row < m_table.shownCount(); ++row) rowOf[m_table.logIndex(row)] = static_cast<int>(row);
        QModelIndexList after;
        after.reserve(before.size());
        for (qsizetype i = 0; i < before.size(); ++i) {
            const int row = rowOf[entries[static_cast<std::size_t>(i)]];
            after.append(row < 0 ? QModelIndex() : index(row, before[i].column()));
        }
        changePersistentIndexList(before, after);
    }
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

}  // namespace quellmark
