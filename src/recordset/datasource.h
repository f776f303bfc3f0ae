#pragma once

#include "recordset.h"

#include <QObject>
#include <QPointer>
#include <functional>

namespace kmp {

// Joins a record set to the controls that show it and tells them of every state change.
// OnStateChange is called synchronously from inside the record set's operation, so the
// screen's state handling runs at the same moment as it would in the operation itself.
class DataSource : public QObject
{
    Q_OBJECT
public:
    explicit DataSource(const QString &name = QString(), QObject *parent = nullptr);
    ~DataSource() override;

    RecordSet *dataSet() const { return m_set; }
    void setDataSet(RecordSet *set);
    DataSetState state() const;

    std::function<void(DataSource &)> OnStateChange;

    // Called by the record set; not for general use.
    void recordSetStateChanged();
    void forgetDataSet(RecordSet *set);

Q_SIGNALS:
    void stateChanged(kmp::DataSetState state);
    void dataSetChanged(kmp::RecordSet *set);

private:
    QPointer<RecordSet> m_set;
};

} // namespace kmp
