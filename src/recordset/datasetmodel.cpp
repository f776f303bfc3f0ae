#include "datasetmodel.h"

#include "error.h"
#include "recordsetlog.h"

#include <QDebug>

namespace kmp {

DataSetModel::DataSetModel(DataSource *source, QObject *parent) : QAbstractTableModel(parent)
{
    setDataSource(source);
}

void DataSetModel::setDataSource(DataSource *source)
{
    beginResetModel();
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
    m_source = source;
    if (m_source)
        connect(m_source, &DataSource::dataSetChanged, this, [this] {
            beginResetModel();
            connectSet();
            rebuildColumns();
            endResetModel();
        });
    connectSet();
    rebuildColumns();
    endResetModel();
}

void DataSetModel::connectSet()
{
    if (m_connected)
        disconnect(m_connected, nullptr, this, nullptr);
    m_connected = set();
    RecordSet *s = m_connected;
    if (!s)
        return;
    connect(s, &RecordSet::aboutToReset, this, [this] {
        if (!m_resetting) {
            m_resetting = true;
            beginResetModel();
        }
    });
    connect(s, &RecordSet::resetDone, this, [this] {
        rebuildColumns();
        if (m_resetting) {
            m_resetting = false;
            endResetModel();
        }
        Q_EMIT currentRowChanged(currentRow());
    });
    connect(s, &RecordSet::fieldLayoutChanged, this, [this] {
        if (m_resetting)
            return;
        beginResetModel();
        rebuildColumns();
        endResetModel();
    });
    connect(s, &RecordSet::rowAboutToBeInserted, this, [this](int row) {
        if (!m_resetting)
            beginInsertRows(QModelIndex(), row, row);
    });
    connect(s, &RecordSet::rowInserted, this, [this](int) {
        if (!m_resetting)
            endInsertRows();
    });
    connect(s, &RecordSet::rowAboutToBeRemoved, this, [this](int row) {
        if (!m_resetting)
            beginRemoveRows(QModelIndex(), row, row);
    });
    connect(s, &RecordSet::rowRemoved, this, [this](int) {
        if (!m_resetting)
            endRemoveRows();
    });
    connect(s, &RecordSet::rowChanged, this, [this](int row) {
        if (m_resetting || row < 0 || columnCount() == 0)
            return;
        Q_EMIT dataChanged(index(row, 0), index(row, columnCount() - 1));
    });
    connect(s, &RecordSet::cursorMoved, this, [this](int row) { Q_EMIT currentRowChanged(row); });
    connect(s, &RecordSet::stateChanged, this, [this] {
        // Read-only flags of fields may follow the state; let views re-ask flags().
        if (!m_resetting && rowCount() > 0 && columnCount() > 0)
            Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    });
}

void DataSetModel::setColumns(const QStringList &fieldNames)
{
    beginResetModel();
    m_wanted = fieldNames;
    rebuildColumns();
    endResetModel();
}

void DataSetModel::rebuildColumns()
{
    m_columns.clear();
    RecordSet *s = set();
    if (!s)
        return;
    if (!m_wanted.isEmpty()) {
        for (const QString &name : m_wanted)
            if (Field *f = s->findField(name))
                m_columns.push_back(f->index());
        return;
    }
    for (int i = 0; i < s->fieldCount(); ++i)
        if (s->field(i)->isVisible())
            m_columns.push_back(i);
}

Field *DataSetModel::fieldAt(int column) const
{
    RecordSet *s = set();
    if (!s || column < 0 || column >= int(m_columns.size()))
        return nullptr;
    return s->field(m_columns[size_t(column)]);
}

int DataSetModel::columnOfField(const QString &fieldName) const
{
    for (int c = 0; c < int(m_columns.size()); ++c)
        if (fieldAt(c)->fieldName().compare(fieldName, Qt::CaseInsensitive) == 0)
            return c;
    return -1;
}

int DataSetModel::rowCount(const QModelIndex &parent) const
{
    RecordSet *s = set();
    if (parent.isValid() || !s || !s->isActive())
        return 0;
    return s->recordCount();
}

int DataSetModel::columnCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(m_columns.size());
}

QVariant DataSetModel::data(const QModelIndex &index, int role) const
{
    RecordSet *s = set();
    if (!s || !index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    const Field *f = fieldAt(index.column());
    const QVariant v = s->value(index.row(), f->index());
    if (!v.isValid() || v.isNull())
        return role == Qt::EditRole ? QVariant(QString()) : QVariant();
    switch (f->kind()) {
    case FieldKind::DateTime: {
        return dateTimeFromDays(v.toDouble()).date().toString(QStringLiteral("dd/MM/yyyy"));
    }
    case FieldKind::Blob: return role == Qt::DisplayRole ? QVariant(QStringLiteral("(texto)")) : QVariant();
    case FieldKind::Float: {
        const double d = v.toDouble();
        return d == qint64(d) ? QVariant(qint64(d)) : QVariant(d);
    }
    case FieldKind::String: return v;
    }
    return {};
}

QVariant DataSetModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (const Field *f = fieldAt(section))
        return f->displayLabel();
    return {};
}

Qt::ItemFlags DataSetModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags fl = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    RecordSet *s = set();
    const Field *f = fieldAt(index.column());
    if (s && f && !s->isReadOnly() && !f->isReadOnly() && f->kind() != FieldKind::Blob)
        fl |= Qt::ItemIsEditable;
    return fl;
}

void DataSetModel::report(std::exception_ptr e) const
{
    if (OnError) {
        OnError(e);
        return;
    }
    try {
        std::rethrow_exception(e);
    } catch (const std::exception &ex) {
        qCWarning(recordsetLog) << "conjunto de registros:" << ex.what();
    } catch (...) {
        qCWarning(recordsetLog) << "conjunto de registros: falha desconhecida";
    }
}

bool DataSetModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    RecordSet *s = set();
    if (!s || role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable))
        return false;
    try {
        if (s->currentRow() != index.row())
            s->moveTo(index.row());
        if (s->currentRow() != index.row())
            return false;
        Field *f = fieldAt(index.column());
        if (sameValue(s->value(index.row(), f->index()), coerceValue(f->def(), value)))
            return true; // nothing typed: do not start an edit for it
        s->edit();
        f->setValue(value);
        return true;
    } catch (...) {
        report(std::current_exception());
        return false;
    }
}

int DataSetModel::currentRow() const
{
    RecordSet *s = set();
    return s && s->isActive() ? s->currentRow() : -1;
}

bool DataSetModel::setCurrentRow(int row)
{
    RecordSet *s = set();
    if (!s || !s->isActive() || row < 0 || row >= s->recordCount())
        return false;
    if (s->currentRow() == row)
        return true;
    try {
        s->moveTo(row);
        return s->currentRow() == row;
    } catch (...) {
        report(std::current_exception());
        Q_EMIT currentRowChanged(currentRow());
        return false;
    }
}

} // namespace kmp
