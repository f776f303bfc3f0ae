#include "showavi.h"

#include <QAccessible>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QStringList>
#include <QThread>
#include <QVBoxLayout>

namespace kmp {

namespace {

// The indicator: a translucent veil over the main window with the text in a box. It
// follows the window's size while shown.
class BusyOverlay : public QWidget
{
public:
    explicit BusyOverlay(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("kmpBusyOverlay"));
        setAttribute(Qt::WA_TransparentForMouseEvents, false);
        setAccessibleName(QStringLiteral("Aguarde"));
        auto *layout = new QVBoxLayout(this);
        m_label = new QLabel(this);
        m_label->setObjectName(QStringLiteral("kmpBusyText"));
        m_label->setAlignment(Qt::AlignCenter);
        m_label->setStyleSheet(QStringLiteral("QLabel { background: palette(window); border: 1px solid palette(dark);"
                                              " padding: 14px 28px; font-weight: bold; }"));
        layout->addStretch();
        layout->addWidget(m_label, 0, Qt::AlignCenter);
        layout->addStretch();
        if (parent)
            parent->installEventFilter(this);
        else
            setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    }

    void setText(const QString &text)
    {
        m_label->setText(text);
        setAccessibleDescription(text);
        m_label->setAccessibleName(text);
    }
    QString text() const { return m_label->text(); }

    void cover()
    {
        if (parentWidget())
            setGeometry(parentWidget()->rect());
        else
            adjustSize();
        raise();
    }

    // Screen readers say the text as the indicator appears, as they would a status alert.
    void announce()
    {
        if (!QAccessible::isActive())
            return;
        QAccessibleEvent event(m_label, QAccessible::Alert);
        QAccessible::updateAccessibility(&event);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == parentWidget() && event->type() == QEvent::Resize && isVisible())
            cover();
        return false;
    }
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), QColor(0, 0, 0, 60));
    }

private:
    QLabel *m_label;
};

bool isUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::InputMethod:
    case QEvent::Drop: return true;
    default: return false;
    }
}

// Drops user input for the whole application while a call runs, except for a modal
// dialog that came up after the call began (its box must be answerable).
class InputDiscarder : public QObject
{
public:
    int paused = 0;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Only a dialog opened after the call began is exempt: a dialog the call runs in
        // (the report screen) is as busy as any window.
        if (paused > m_pausedAtStart || !isUserInput(event->type()))
            return false;
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && modal != m_modalAtStart && watched->isWidgetType()) {
            auto *w = static_cast<QWidget *>(watched);
            if (w->window() == modal)
                return false;
        }
        if (!watched->isWidgetType() && modal && modal != m_modalAtStart)
            return false; // the modal's own window handle: Qt routes it on to the dialog
        ++m_discarded;
        return true;
    }

    void start()
    {
        m_pausedAtStart = paused;
        m_modalAtStart = QApplication::activeModalWidget();
        qApp->installEventFilter(this);
    }

    // Input queued while the event loop was blocked is delivered now and dropped by the
    // filter, so none of it reaches a handler after the call.
    void finish()
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        qApp->removeEventFilter(this);
        m_modalAtStart = nullptr;
    }

    int discarded() const { return m_discarded; }

private:
    QPointer<QWidget> m_modalAtStart;
    int m_pausedAtStart = 0;
    int m_discarded = 0;
};

struct State
{
    int depth = 0;
    QPointer<BusyOverlay> overlay;
    QString text;
    QStringList outer; // texts of the enclosing calls, shown again as inner ones end
    InputDiscarder discarder;
};

State &state()
{
    static State s;
    return s;
}

bool haveWidgets()
{
    return qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr;
}

// The indicator belongs to the user-interface thread. A call made on another thread (a
// worker, a second station in a test) has no screen to cover and must not touch it.
bool offUiThread()
{
    QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() != app->thread();
}

// The window the user is looking at: a modal screen (the report screen) over the main
// window is the one to cover, not the main window hidden behind it.
QWidget *coverTarget(QWidget *mainForm)
{
    QWidget *modal = QApplication::activeModalWidget();
    if (modal && modal != state().overlay)
        return modal;
    return mainForm;
}

} // namespace

namespace Showavi {

QString textFor(int animation)
{
    switch (animation) {
    case 0: return QStringLiteral("Conectando...");
    case 1: return QStringLiteral("Gravando...");
    case 6: return QStringLiteral("Carregando...");
    default: return QStringLiteral("Aguarde...");
    }
}

void ActiveShowAvi(QWidget *mainForm, int animation)
{
    if (offUiThread())
        return;
    State &s = state();
    if (s.depth > 0)
        s.outer.append(s.text);
    ++s.depth;
    s.text = textFor(animation);
    if (!haveWidgets())
        return;
    if (s.depth == 1) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        s.discarder.start();
    }
    QWidget *target = coverTarget(mainForm);
    if (s.overlay && s.overlay->parentWidget() != target) {
        s.overlay->hide();
        s.overlay->deleteLater();
        s.overlay = nullptr;
    }
    const bool appearing = !s.overlay || !s.overlay->isVisible();
    if (!s.overlay)
        s.overlay = new BusyOverlay(target);
    s.overlay->setText(s.text);
    s.overlay->cover();
    s.overlay->show();
    if (appearing)
        s.overlay->announce();
    // The call that follows blocks the event loop: paint now. Input already queued is
    // dropped by the filter rather than left to run after the call.
    s.overlay->repaint();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void DeactiveShowAvi()
{
    if (offUiThread())
        return;
    State &s = state();
    if (s.depth == 0)
        return; // an unmatched off must not drive the count negative
    if (s.depth > 1) {
        --s.depth;
        if (!s.outer.isEmpty())
            s.text = s.outer.takeLast();
        if (s.overlay)
            s.overlay->setText(s.text);
        return;
    }
    if (haveWidgets())
        s.discarder.finish(); // still counted as busy: nothing drained here may start a call
    s.depth = 0;
    s.outer.clear();
    s.text.clear();
    if (s.overlay)
        s.overlay->hide();
    if (haveWidgets())
        QApplication::restoreOverrideCursor();
}

int depth()
{
    return state().depth;
}
QString currentText()
{
    return state().depth > 0 ? state().text : QString();
}
QWidget *overlay()
{
    return state().overlay;
}
int discardedInputs()
{
    return state().discarder.discarded();
}
void pauseInputDiscard()
{
    ++state().discarder.paused;
}
void resumeInputDiscard()
{
    state().discarder.paused = qMax(0, state().discarder.paused - 1);
}

} // namespace Showavi

} // namespace kmp
