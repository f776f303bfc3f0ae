#include "focusring.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>

namespace kmp {

FocusRing::FocusRing(QWidget *root) : QWidget(root), m_root(root)
{
    setObjectName(QStringLiteral("kmpFocusRing"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    hide();
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) { focusMoved(now); });
}

FocusRing::~FocusRing()
{
    disconnect(qApp, nullptr, this, nullptr);
    follow(nullptr);
}

void FocusRing::focusMoved(QWidget *now)
{
    // Focus in another window (a message box, the lookup) leaves the ring where it was:
    // that is where the keys go again once the box is closed.
    if (!m_root || !now || now->window() != m_root->window())
        return;
    follow(m_root->isAncestorOf(now) ? now : nullptr);
}

void FocusRing::follow(QWidget *widget)
{
    for (const QPointer<QWidget> &w : std::as_const(m_watched))
        if (w)
            w->removeEventFilter(this);
    m_watched.clear();
    m_ringed = widget;
    if (widget)
        for (QWidget *w = widget; w && w != m_root; w = w->parentWidget()) {
            w->installEventFilter(this);
            m_watched << w;
        }
    place();
}

void FocusRing::place()
{
    m_placeQueued = false;
    QRect shown;
    if (m_ringed && m_root && m_ringed->isVisibleTo(m_root)) {
        // The control's rectangle as far as its parents let it be seen.
        shown = m_ringed->rect();
        for (QWidget *w = m_ringed; w && w != m_root; w = w->parentWidget()) {
            shown.translate(w->pos());
            if (!w->parentWidget())
                break;
            shown &= w->parentWidget()->rect();
        }
    }
    if (shown.width() < 6 || shown.height() < 6) {
        hide();
        return;
    }
    setGeometry(shown);
    show();
    raise();
    update();
}

bool FocusRing::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
        // Several of these come together (a splitter moved, a page shown): placed once.
        if (!m_placeQueued) {
            m_placeQueued = true;
            QMetaObject::invokeMethod(this, &FocusRing::place, Qt::QueuedConnection);
        }
        break;
    default: break;
    }
    return QWidget::eventFilter(watched, event);
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
