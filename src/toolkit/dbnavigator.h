#pragma once

#include <QPointer>
#include <QWidget>

#include "datasource.h"

class QToolButton;

namespace kmp {

// Record navigator: first, prior, next and last over a data source. The buttons follow the
// cursor (first/prior off on the first row, next/last off on the last) and are all off
// while the set is edited, closed or empty. Moves run through the guarded dispatch.
class DBNavigator : public QWidget
{
    Q_OBJECT
public:
    enum Button { First, Prior, Next, Last };

    explicit DBNavigator(QWidget *parent = nullptr);
    void setDataSource(kmp::DataSource *source);
    kmp::DataSource *dataSource() const { return m_source; }
    QToolButton *button(Button which) const { return m_buttons[which]; }
    void click(Button which);

private:
    void attach();
    void refresh();

    QPointer<kmp::DataSource> m_source;
    QPointer<kmp::RecordSet> m_set;
    QToolButton *m_buttons[4];
};

} // namespace kmp
