#include "dbtext.h"

#include <QHBoxLayout>
#include <QLabel>

namespace kmp {

DBText::DBText(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 0);
    m_label = new QLabel(this);
    m_label->setTextInteractionFlags(Qt::NoTextInteraction);
    layout->addWidget(m_label);
}

void DBText::setDataSource(kmp::DataSource *source)
{
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
    m_source = source;
    if (m_source)
        connect(m_source, &kmp::DataSource::dataSetChanged, this, &DBText::attach);
    attach();
}

void DBText::setDataField(const QString &fieldName)
{
    m_field = fieldName;
    refresh();
}

void DBText::attach()
{
    if (m_set)
        disconnect(m_set, nullptr, this, nullptr);
    m_set = m_source ? m_source->dataSet() : nullptr;
    if (m_set) {
        connect(m_set, &kmp::RecordSet::cursorMoved, this, &DBText::refresh);
        connect(m_set, &kmp::RecordSet::resetDone, this, &DBText::refresh);
        connect(m_set, &kmp::RecordSet::rowChanged, this, &DBText::refresh);
        connect(m_set, &kmp::RecordSet::rowRemoved, this, &DBText::refresh);
        connect(m_set, &kmp::RecordSet::stateChanged, this, &DBText::refresh);
    }
    refresh();
}

QString DBText::text() const
{
    return m_label->text();
}

void DBText::refresh()
{
    QString t;
    if (m_set && m_set->isActive() && !m_field.isEmpty()) {
        if (kmp::Field *f = m_set->findField(m_field)) {
            const int row = m_set->currentRow();
            if (row >= 0)
                t = m_set->isEditing() ? f->asString() : m_set->value(row, f->index()).toString();
        }
    }
    m_label->setText(t);
}

} // namespace kmp
