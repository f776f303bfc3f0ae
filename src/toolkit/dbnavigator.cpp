#include "dbnavigator.h"

#include "datasource.h"
#include "exceptions.h"

#include <QHBoxLayout>
#include <QToolButton>

namespace kmp {

DBNavigator::DBNavigator(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    const struct
    {
        const char *name;
        const char *text;
        const char *tip;
    } defs[] = {{"First", "|◀", "Primeiro"}, {"Prior", "◀", "Anterior"}, {"Next", "▶", "Próximo"}, {"Last", "▶|", "Último"}};
    for (int i = 0; i < 4; ++i) {
        auto *b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(defs[i].name));
        b->setText(QString::fromUtf8(defs[i].text));
        b->setToolTip(QString::fromUtf8(defs[i].tip));
        b->setAccessibleName(QString::fromUtf8(defs[i].tip)); // the arrows say nothing to a screen reader
        b->setFocusPolicy(Qt::NoFocus);
        b->setMinimumWidth(26);
        connect(b, &QToolButton::clicked, this, [this, i] { click(Button(i)); });
        layout->addWidget(b);
        m_buttons[i] = b;
    }
    refresh();
}

void DBNavigator::setDataSource(kmp::DataSource *source)
{
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
    m_source = source;
    if (m_source) {
        connect(m_source, &kmp::DataSource::dataSetChanged, this, &DBNavigator::attach);
        connect(m_source, &kmp::DataSource::stateChanged, this, &DBNavigator::refresh);
    }
    attach();
}

void DBNavigator::attach()
{
    if (m_set)
        disconnect(m_set, nullptr, this, nullptr);
    m_set = m_source ? m_source->dataSet() : nullptr;
    if (m_set) {
        connect(m_set, &kmp::RecordSet::cursorMoved, this, &DBNavigator::refresh);
        connect(m_set, &kmp::RecordSet::resetDone, this, &DBNavigator::refresh);
        connect(m_set, &kmp::RecordSet::stateChanged, this, &DBNavigator::refresh);
        connect(m_set, &kmp::RecordSet::rowRemoved, this, &DBNavigator::refresh);
        connect(m_set, &kmp::RecordSet::rowInserted, this, &DBNavigator::refresh);
    }
    refresh();
}

void DBNavigator::refresh()
{
    kmp::RecordSet *s = m_set;
    const bool usable = s && s->state() == kmp::DataSetState::Browse && !s->isEmpty();
    const int row = usable ? s->currentRow() : -1;
    const int last = usable ? s->recordCount() - 1 : -1;
    m_buttons[First]->setEnabled(usable && row > 0);
    m_buttons[Prior]->setEnabled(usable && row > 0);
    m_buttons[Next]->setEnabled(usable && row < last);
    m_buttons[Last]->setEnabled(usable && row < last);
}

void DBNavigator::click(Button which)
{
    kmp::guarded(this, [&] {
        kmp::RecordSet *s = m_set;
        if (!s || !s->isActive())
            return;
        switch (which) {
        case First: s->first(); break;
        case Prior: s->prior(); break;
        case Next: s->next(); break;
        case Last: s->last(); break;
        }
    });
    refresh();
}

} // namespace kmp
