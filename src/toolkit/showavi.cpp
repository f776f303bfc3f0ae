#include "showavi.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QStringList>
#include <QVBoxLayout>

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
        auto *layout = new QVBoxLayout(this);
        m_label = new QLabel(this);
        m_label->setAlignment(Qt::AlignCenter);
        m_label->setStyleSheet(QStringLiteral(
            "QLabel { background: palette(window); border: 1px solid palette(dark);"
            " padding: 14px 28px; font-weight: bold; }"));
        layout->addStretch();
        layout->addWidget(m_label, 0, Qt::AlignCenter);
        layout->addStretch();
        if (parent)
            parent->installEventFilter(this);
        else
            setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    }

    void setText(const QString &text) { m_label->setText(text); }
    QString text() const { return m_label->text(); }

    void cover()
    {
        if (parentWidget())
            setGeometry(parentWidget()->rect());
        else
            adjustSize();
        raise();
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

struct State
{
    int depth = 0;
    QPointer<BusyOverlay> overlay;
    QString text;
    QStringList outer; // texts of the enclosing calls, shown again as inner ones end
};

State &state()
{
    static State s;
    return s;
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
    State &s = state();
    if (s.depth > 0)
        s.outer.append(s.text);
    ++s.depth;
    s.text = textFor(animation);
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    if (s.depth == 1)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    if (s.overlay && s.overlay->parentWidget() != mainForm) {
        s.overlay->hide();
        s.overlay->deleteLater();
        s.overlay = nullptr;
    }
    if (!s.overlay)
        s.overlay = new BusyOverlay(mainForm);
    s.overlay->setText(s.text);
    s.overlay->cover();
    s.overlay->show();
    // The call that follows blocks the event loop: paint now, and let nothing the user
    // types in the meantime run a handler.
    s.overlay->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void DeactiveShowAvi()
{
    State &s = state();
    if (s.depth == 0)
        return; // an unmatched off must not drive the count negative
    if (--s.depth > 0) {
        if (!s.outer.isEmpty())
            s.text = s.outer.takeLast();
        if (s.overlay)
            s.overlay->setText(s.text);
        return;
    }
    s.outer.clear();
    s.text.clear();
    if (s.overlay)
        s.overlay->hide();
    if (qobject_cast<QApplication *>(QCoreApplication::instance()))
        QApplication::restoreOverrideCursor();
}

int depth() { return state().depth; }
QString currentText() { return state().depth > 0 ? state().text : QString(); }
QWidget *overlay() { return state().overlay; }

} // namespace Showavi
