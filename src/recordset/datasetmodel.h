#pragma once

#include "datasource.h"

#include <QAbstractTableModel>
#include <QPointer>
#include <exception>
#include <functional>
#include <vector>

namespace kmp {

// Shows the record set of a data source in a grid: one column per visible field, titled
// with its label; editable fields are edited in place through the record set (which
// enters edit state on the first change); the record set's cursor is the grid's current
// row and follows it both ways.
//
// Qt views call into models from places where an exception must not escape, so every
// record-set failure during setData() or a cursor move is handed to OnError instead; the
// grid routes it to the screen's guarded dispatch.
class DataSetModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit DataSetModel(DataSource *source, QObject *parent = nullptr);

    DataSource *dataSource() const { return m_source; }
    void setDataSource(DataSource *source);

    // Columns of the model: the visible fields, or a chosen list of fields.
    void setColumns(const QStringList &fieldNames);
    Field *fieldAt(int column) const;
    int columnOfField(const QString &fieldName) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    int currentRow() const;
    // Moves the record set's cursor; false (and OnError) when the move was refused.
    bool setCurrentRow(int row);

    std::function<void(std::exception_ptr)> OnError;

Q_SIGNALS:
    void currentRowChanged(int row);

private:
    RecordSet *set() const { return m_source ? m_source->dataSet() : nullptr; }
    void connectSet();
    void rebuildColumns();
    void report(std::exception_ptr e) const;

    QPointer<DataSource> m_source;
    QPointer<RecordSet> m_connected;
    QStringList m_wanted;
    std::vector<int> m_columns; // field indexes
    bool m_resetting = false;
};

} // namespace kmp
