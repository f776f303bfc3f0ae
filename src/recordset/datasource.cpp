#include "datasource.h"

namespace kmp {

DataSource::DataSource(const QString &name, QObject *parent) : QObject(parent)
{
    setObjectName(name);
}

DataSource::~DataSource()
{
    if (m_set)
        m_set->detachDataSource(this);
}

void DataSource::setDataSet(RecordSet *set)
{
    if (m_set == set)
        return;
    if (m_set)
        m_set->detachDataSource(this);
    m_set = set;
    if (m_set)
        m_set->attachDataSource(this);
    Q_EMIT dataSetChanged(set);
}

DataSetState DataSource::state() const
{
    return m_set ? m_set->state() : DataSetState::Inactive;
}

void DataSource::recordSetStateChanged()
{
    // Views first: they never throw, while the hook may end the operation with an error.
    Q_EMIT stateChanged(state());
    if (OnStateChange)
        OnStateChange(*this);
}

void DataSource::forgetDataSet(RecordSet *set)
{
    if (m_set == set)
        m_set = nullptr;
}

} // namespace kmp
