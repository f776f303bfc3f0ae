#include "userpath.h"

#include "dbgrid.h"
#include "dialogs.h"
#include "entry.h"
#include "exceptions.h"
#include "hostservices.h"
#include "scripteddialogs.h"
#include "tfrmdiagpaci.h"
#include "xdesktop.h"

#include <QApplication>
#include <QClipboard>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMimeData>
#include <QtTest>

namespace {

// The real desktop when the test runs on one (its scenarios do), else Qt's synthetic input.
kmp::test::XDesktop *desk()
{
    return kmp::test::XDesktop::instance();
}

} // namespace

UserPath::UserPath(ScreenHarness &harness) : m_h(harness), m_elsewhere(std::make_unique<QWidget>())
{
    m_elsewhere->setWindowTitle(QStringLiteral("Outra janela"));
    m_elsewhere->resize(200, 100);
}

UserPath::~UserPath()
{
    if (m_serverDown)
        restartServer();
    kmp::ScopedResponder yes(kmp::answers::yes());
    for (const QPointer<TfrmDiagPaci> &s : m_stations)
        if (s)
            s->close();
    settle();
}

bool UserPath::enter(const QString &patient, double date, const QString &patientText, const QString &branch)
{
    const bool ok = kmp::guarded(&m_h.mainWindow(), [&] { IniProc(QVariant(QVariantList{branch, patient, patientText, date})); });
    settle();
    if (screen())
        activate(screen());
    return ok;
}

TfrmDiagPaci *UserPath::screen() const
{
    return frmDiagPaci;
}

TfrmDiagPaci *UserPath::openStation(const QString &patient, double date, const QString &branch)
{
    kmp::Consultation c;
    c.branch = branch;
    c.patient = patient;
    c.patientText = QStringLiteral("Segunda estação");
    c.date = date;
    TfrmDiagPaci *s = TfrmDiagPaci::create(kmp::HostServices::instance()->application(), c);
    m_stations.emplace_back(s);
    s->showScreen();
    settle();
    activate(s);
    return s;
}

void UserPath::activate(QWidget *w)
{
    QWidget *top = w->window();
    if (auto *x = desk()) {
        x->activate(top);
    } else {
        top->show();
        top->activateWindow();
        QApplication::setActiveWindow(top);
    }
    // Inside the host's area the sub-window holding the widget becomes the active one.
    for (QWidget *p = w; p; p = p->parentWidget()) {
        if (auto *sub = qobject_cast<QMdiSubWindow *>(p)) {
            if (sub->mdiArea())
                sub->mdiArea()->setActiveSubWindow(sub);
            break;
        }
    }
    settle();
}

void UserPath::deactivate()
{
    if (auto *x = desk()) {
        x->activateElsewhere();
    } else {
        m_elsewhere->show();
        m_elsewhere->activateWindow();
        QApplication::setActiveWindow(m_elsewhere.get());
    }
    settle();
}

void UserPath::closeWindow(QWidget *w)
{
    if (auto *x = desk())
        x->close(w);
    else
        w->window()->close();
    settle();
}

void UserPath::click(QWidget *w)
{
    click(w, w->rect().center());
}

void UserPath::click(QWidget *w, QPoint at)
{
    if (auto *x = desk()) {
        // Where a person's click lands is whatever is on top there.
        const QPoint global = w->mapToGlobal(at);
        QWidget *hit = QApplication::widgetAt(global);
        if (hit != w && !w->isAncestorOf(hit))
            qWarning("UserPath: a click on %s lands on %s %s", w->metaObject()->className(),
                     hit ? hit->metaObject()->className() : "no window of the application",
                     hit ? qPrintable(hit->objectName()) : "");
        x->click(global);
        x->sync();
    } else {
        QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, at);
    }
    settle();
}

void UserPath::doubleClick(QWidget *w, QPoint at)
{
    if (auto *x = desk()) {
        x->click(w->mapToGlobal(at), Qt::LeftButton, 2);
        x->sync();
        settle();
        return;
    }
    // A double-click arrives as press, release, double-click, release.
    QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(w, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, at);
    settle();
}

void UserPath::focus(QWidget *w)
{
    activate(w);
    w->setFocus(Qt::MouseFocusReason);
    click(w, w->rect().center());
}

void UserPath::clickCell(kmp::DBGrid *grid, int row, int column, bool twice)
{
    activate(grid);
    const QModelIndex index = grid->model()->index(row, column);
    grid->scrollTo(index);
    const QPoint at = grid->visualRect(index).center();
    grid->setFocus(Qt::MouseFocusReason);
    if (twice)
        doubleClick(grid->viewport(), at);
    else
        click(grid->viewport(), at);
}

void UserPath::key(Qt::Key k, Qt::KeyboardModifiers mods)
{
    if (auto *x = desk()) {
        x->key(k, mods);
        x->sync();
        settle();
        return;
    }
    QWidget *w = QApplication::focusWidget();
    if (!w)
        w = QApplication::activeWindow();
    if (!w)
        return;
    QTest::keyClick(w, k, mods);
    settle();
}

void UserPath::type(const QString &text)
{
    if (auto *x = desk()) {
        x->type(text);
        x->sync();
        settle();
        return;
    }
    for (const QChar c : text) {
        QWidget *w = QApplication::focusWidget();
        if (!w)
            return;
        QTest::keyClick(w, c.toLatin1());
    }
    settle();
}

void UserPath::paste(const QString &text)
{
    if (auto *x = desk())
        x->setClipboardText(text); // another application's copy
    else
        QApplication::clipboard()->setText(text);
    key(Qt::Key_V, Qt::ControlModifier);
}

void UserPath::paste(const QList<QPair<QByteArray, QByteArray>> &targets)
{
    if (auto *x = desk()) {
        x->setClipboard(targets);
    } else {
        auto *mime = new QMimeData;
        for (const auto &[type, bytes] : targets)
            mime->setData(QString::fromLatin1(type), bytes);
        QApplication::clipboard()->setMimeData(mime);
    }
    key(Qt::Key_V, Qt::ControlModifier);
}

void UserPath::stopServer()
{
    m_h.stopServer();
    m_serverDown = true;
}

bool UserPath::restartServer()
{
    QString why;
    const bool ok = m_h.restartServer(&why);
    m_serverDown = !ok;
    if (!ok)
        qWarning("%s", qPrintable(why));
    return ok;
}

void UserPath::settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
}
