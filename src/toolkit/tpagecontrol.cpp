#include "tpagecontrol.h"

#include "exceptions.h"

#include <QApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QTabBar>

namespace kmp {

// --- TabPage -----------------------------------------------------------------------------

TabPage::TabPage(const QString &caption, QWidget *parent) : QWidget(parent), m_caption(caption) {}

void TabPage::setCaption(const QString &caption)
{
    m_caption = caption;
    if (m_control)
        m_control->pageStateChanged(this);
}

void TabPage::setPageEnabled(bool enabled)
{
    if (m_enabled == enabled)
        return;
    m_enabled = enabled;
    if (m_control)
        m_control->pageStateChanged(this);
    else
        setEnabled(enabled);
}

// --- TPageControl ----------------------------------------------------------------------------

TPageControl::TPageControl(QWidget *parent) : QTabWidget(parent)
{
    tabBar()->installEventFilter(this);
    connect(this, &QTabWidget::currentChanged, this, [this](int) {
        if (m_userAction > 0 && OnChange)
            kmp::guarded(this, OnChange);
    });
    connect(qApp, &QApplication::focusChanged, this, &TPageControl::focusMoved);
}

TPageControl::~TPageControl()
{
    disconnect(qApp, nullptr, this, nullptr);
}

int TPageControl::addPage(TabPage *page)
{
    return insertPage(count(), page);
}

int TPageControl::insertPage(int index, TabPage *page)
{
    page->m_control = this;
    const int at = insertTab(index, page, page->caption());
    pageStateChanged(page);
    return at;
}

TabPage *TPageControl::page(int index) const
{
    return qobject_cast<TabPage *>(widget(index));
}

TabPage *TPageControl::activePage() const
{
    return qobject_cast<TabPage *>(currentWidget());
}

void TPageControl::SetActivePage(TabPage *page)
{
    const int i = indexOf(page);
    if (i >= 0)
        setCurrentIndex(i);
}

void TPageControl::pageStateChanged(TabPage *page)
{
    const int i = indexOf(page);
    if (i < 0)
        return;
    setTabText(i, page->caption());
    // The tab bar moves the current tab away from a tab being disabled; a page locked by
    // code while in front must stay in front, so the current page is put back quietly.
    TabPage *current = activePage();
    tabBar()->setTabEnabled(i, page->pageEnabled());
    page->setEnabled(page->pageEnabled());
    if (current && activePage() != current) {
        const int saved = m_userAction;
        m_userAction = 0;
        setCurrentWidget(current);
        m_userAction = saved;
    }
}

bool TPageControl::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == tabBar()) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::Wheel: {
            // Mark the span of a user's input so that OnChange runs only for the user's own
            // tab changes. The event is handled here so the mark is set around it.
            if (event->type() == QEvent::MouseButtonPress) {
                auto *m = static_cast<QMouseEvent *>(event);
                const int i = tabBar()->tabAt(m->position().toPoint());
                if (TabPage *p = page(i); p && !p->pageEnabled())
                    return true; // a disabled page cannot be brought to the front
            }
            ++m_userAction;
            const bool handled = static_cast<QObject *>(tabBar())->event(event);
            --m_userAction;
            return handled;
        }
        default: break;
        }
    }
    return QTabWidget::eventFilter(watched, event);
}

bool TPageControl::contains(QWidget *w) const
{
    return w && (w == this || isAncestorOf(w));
}

void TPageControl::focusMoved(QWidget *old, QWidget *now)
{
    const bool inside = contains(now);
    if (inside && !m_hasFocus) {
        m_hasFocus = true;
        if (OnEnter)
            kmp::guarded(this, OnEnter);
    } else if (!inside && m_hasFocus && now) {
        // Focus going nowhere (the window losing activation) is not an exit.
        m_hasFocus = false;
        if (OnExit)
            kmp::guarded(this, OnExit);
    }
}

} // namespace kmp
