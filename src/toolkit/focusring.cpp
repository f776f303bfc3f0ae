#include "focusring.h"

#include <QApplication>
#include <QPainter>

namespace kmp {

FocusRing::FocusRing(QWidget *root) : QFocusFrame(root), m_root(root)
{
    setObjectName(QStringLiteral("kmpFocusRing"));
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) { focusMoved(now); });
}

FocusRing::~FocusRing()
{
    disconnect(qApp, nullptr, this, nullptr);
}

void FocusRing::focusMoved(QWidget *now)
{
    // Focus in another window (a message box, the lookup) leaves the ring where it was:
    // that is where the keys go again once the box is closed.
    if (!m_root || !now || now->window() != m_root->window())
        return;
    const bool inside = now == m_root || m_root->isAncestorOf(now);
    // The ring is drawn by the control's parent: a window of its own has none to draw in.
    setWidget(inside && !now->isWindow() ? now : nullptr);
}

void FocusRing::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QPen pen(palette().color(QPalette::Active, QPalette::Highlight));
    pen.setWidth(2);
    painter.setPen(pen);
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
}

} // namespace kmp
