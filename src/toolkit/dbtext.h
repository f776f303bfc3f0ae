#pragma once

#include "datasource.h"

#include <QPointer>
#include <QWidget>

class QLabel;

namespace kmp {

// A label that shows one field of the data source's current row.
class DBText : public QWidget
{
    Q_OBJECT
public:
    explicit DBText(QWidget *parent = nullptr);
    void setDataSource(kmp::DataSource *source);
    void setDataField(const QString &fieldName);
    QString text() const;

private:
    void attach();
    void refresh();

    QPointer<kmp::DataSource> m_source;
    QPointer<kmp::RecordSet> m_set;
    QString m_field;
    QLabel *m_label;
};

} // namespace kmp
