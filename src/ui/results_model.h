#pragma once

#include <QAbstractTableModel>
#include <functional>
#include <memory>

#include "ui/result_table.h"

namespace quellmark {

/// The results table's model: a thin Qt face over a ResultTable, so no row is
/// copied and no widget exists per row. A new log is one reset; the rows a run
/// appends arrive as row insertions at their sorted places, so the view keeps
/// its selection and what it shows. GUI thread only.
class ResultsModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ResultsModel(QObject* parent = nullptr);

    /// Shows `log` from its first row (null shows none).
    void setLog(std::shared_ptr<const ResultLog> log);
    /// Takes the rows appended to the log since the last call.
    void takeNewRows();
    void setFilter(bool failedOnly, const std::string& pathText);
    const ResultTable& table() const { return m_table; }
    /// The entry of a shown row; null outside the shown rows.
    const ResultEntry* entryAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    /// Column -1 is the order the rows were written in.
    void sort(int column, Qt::SortOrder order) override;

private:
    /// Runs `change` between the layout signals, keeping persistent indexes
    /// (selection, current row) on their entries.
    void changeLayout(const std::function<void()>& change);

    ResultTable m_table;
};

}  // namespace quellmark
