// The host with the real screen module and a real server, used as a receptionist or a
// physician would: keys and clicks on the real widgets, the server slowed (SIGSTOP) or
// stopped underneath.
#include "context.h"
#include "dbgrid.h"
#include "dialogs.h"
#include "hostoptions.h"
#include "hostservicesimpl.h"
#include "hostwindow.h"
#include "indicatorwatch.h"
#include "lookupdialog.h"
#include "recordset.h"
#include "rtfreader.h"
#include "scripteddialogs.h"
#include "showavi.h"
#include "tfrmdadosgerrel.h"
#include "tfrmdiagpaci.h"
#include "tpagecontrol.h"
#include "userpath.h"
#include "xdesktop.h"

#include <QAccessible>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QStatusBar>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <thread>

using kmp::DataSetState;

namespace {

const double kDate = 46363; // 2026-12-07

// The server frozen (as a machine under load or a stalled network looks to the client)
// for a while, then let go; the user meanwhile clicks a button on the screen. Both happen
// on another thread while the test's thread is blocked in the call, as the user's would be.
class SlowServerAndImpatientUser
{
public:
    SlowServerAndImpatientUser(qint64 pid, QWidget *clicked, int frozenMs)
    {
        ::kill(pid_t(pid), SIGSTOP);
        m_thread = std::thread([this, pid, clicked, frozenMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(frozenMs / 3));
            const QPointF at(clicked->width() / 2.0, clicked->height() / 2.0);
            QCoreApplication::postEvent(
                clicked, new QMouseEvent(QEvent::MouseButtonPress, at, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
            QCoreApplication::postEvent(
                clicked, new QMouseEvent(QEvent::MouseButtonRelease, at, at, Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
            m_clicked = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(frozenMs - frozenMs / 3));
            ::kill(pid_t(pid), SIGCONT);
        });
    }
    ~SlowServerAndImpatientUser()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    bool clicked() const { return m_clicked; }
    void wait()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
    std::atomic<bool> m_clicked{false};
};

QString storedSection(ScreenHarness &h, const QString &patient, int part)
{
    const kmp::wire::Response r = h.call(QStringLiteral("GetHistGer"), {patient, QStringLiteral("0001"), kDate});
    if (!r.ok)
        return QStringLiteral("<refused: %1>").arg(r.errorMessage);
    const kmp::Packet p = kmp::decodePacket(r.result.toArray().at(part).toByteArray());
    return p.rows.empty() ? QString() : kmp::rtf::plainText(p.rows[0][2].toByteArray()).trimmed();
}

// Counts mouse presses anywhere: a keyboard-only path must make none.
class MouseWatch : public QObject
{
public:
    MouseWatch() { qApp->installEventFilter(this); }
    ~MouseWatch() override { qApp->removeEventFilter(this); }
    int presses = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
            ++presses;
        return false;
    }
};

bool hasLetter(const QString &s)
{
    for (QChar c : s)
        if (c.isLetter())
            return true;
    return false;
}

// Interactive controls as assistive technology sees them.
bool isInteractive(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::SpinBox:
    case QAccessible::Table:
    case QAccessible::List:
    case QAccessible::Tree:
    case QAccessible::PageTabList:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
    case QAccessible::Slider: return true;
    default: return false;
    }
}

void collectUnnamed(QAccessibleInterface *node, QStringList &unnamed, int depth = 0)
{
    if (!node || depth > 40)
        return;
    const QAccessible::State st = node->state();
    if (st.invisible)
        return;
    if (isInteractive(node->role())) {
        // On this platform a combo box reports its value as its name and its label through
        // a relation: the label is what a reader announces before the value.
        QObject *o = node->object();
        QString name = node->text(QAccessible::Name);
        if (node->role() == QAccessible::ComboBox) {
            const auto labels = node->relations(QAccessible::Label);
            name = labels.isEmpty() ? QString() : labels.first().first->text(QAccessible::Name);
        }
        if (!hasLetter(name)) {
            QObject *parent = o ? o->parent() : nullptr;
            unnamed << QStringLiteral("%1 '%2' in %3 '%4' (role %5, name \"%6\")")
                           .arg(o ? QString::fromLatin1(o->metaObject()->className()) : QStringLiteral("?"),
                                o ? o->objectName() : QString(),
                                parent ? QString::fromLatin1(parent->metaObject()->className()) : QString(),
                                parent ? parent->objectName() : QString())
                           .arg(int(node->role()))
                           .arg(name);
        }
    }
    // Cells and rows of tables are items, not controls: the table's own name covers them.
    if (node->role() == QAccessible::Table || node->role() == QAccessible::List || node->role() == QAccessible::Tree)
        return;
    for (int i = 0; i < node->childCount(); ++i)
        collectUnnamed(node->child(i), unnamed, depth + 1);
}

} // namespace

class TestHostUserPath : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenHarness> h;
    QTemporaryDir m_dir;

    // A host as kmp-host builds it, on the harness's server.
    struct Host
    {
        kmp::HostOptions options;
        std::unique_ptr<kmp::HostServicesImpl> services;
        std::unique_ptr<kmp::HostWindow> window;
    };
    std::unique_ptr<Host> m_host;

    void openHost()
    {
        m_host = std::make_unique<Host>();
        kmp::HostOptions &o = m_host->options;
        o.settingsFile = m_dir.filePath(QStringLiteral("absent.ini"));
        o.stateFile = m_dir.filePath(QStringLiteral("host.state"));
        o.serverHost = QStringLiteral("127.0.0.1");
        o.serverPort = h->port();
        o.branch = QStringLiteral("0001");
        o.activeModule = QStringLiteral("A");
        m_host->services = std::make_unique<kmp::HostServicesImpl>(o);
        m_host->window = std::make_unique<kmp::HostWindow>(o, m_host->services.get());
        m_host->services->setApplication(m_host->window->applicationObject());
        kmp::HostServices::setInstance(m_host->services.get());
        m_host->window->show();
        if (auto *x = kmp::test::XDesktop::instance())
            x->activate(m_host->window.get());
        else
            QApplication::setActiveWindow(m_host->window.get());
    }

    void closeHost()
    {
        if (!m_host)
            return;
        {
            kmp::ScopedResponder yes(kmp::answers::yes());
            if (frmDiagPaci)
                frmDiagPaci->close();
            UserPath::settle();
        }
        BostCriado = false;
        m_host->window.reset();
        UserPath::settle();
        kmp::HostServices::setInstance(&h->host());
        m_host.reset();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // A frozen server must come back as an error in seconds, not the default thirty.
        qputenv("KMP_READ_TIMEOUT_MS", "4000");
        QVERIFY(m_dir.isValid());
        h = std::make_unique<ScreenHarness>();
        QString why;
        QVERIFY2(h->start(&why), qPrintable(why));
    }
    void init()
    {
        kmp::Dialogs::clearLog();
        openHost();
    }
    void cleanup()
    {
        closeHost();
        kmp::Dialogs::setResponder(kmp::answers::ok());
    }
    void cleanupTestCase() { h.reset(); }

    // Quitting the host with work in progress asks the screen; anything but Yes keeps the
    // host, the screen and what was typed, and nothing reaches the server.
    void quittingAsksBeforeDroppingWork_data()
    {
        QTest::addColumn<QString>("work"); // "note" or "diagnosis"
        QTest::addColumn<QString>("how");  // "menu", "keys" (Alt+F4) or "window" (its close button)
        QTest::addColumn<int>("answer");
        QTest::newRow("note, Arquivo > Sair, No") << "note"
                                                  << "menu" << int(kmp::MessageResult::No);
        QTest::newRow("note, close button, No") << "note"
                                                << "window" << int(kmp::MessageResult::No);
        QTest::newRow("diagnosis, Alt+F4, No") << "diagnosis"
                                               << "keys" << int(kmp::MessageResult::No);
        QTest::newRow("diagnosis, Arquivo > Sair, Yes") << "diagnosis"
                                                        << "menu" << int(kmp::MessageResult::Yes);
        QTest::newRow("note, close button, Yes") << "note"
                                                 << "window" << int(kmp::MessageResult::Yes);
    }
    void quittingAsksBeforeDroppingWork()
    {
        QFETCH(QString, work);
        QFETCH(QString, how);
        QFETCH(int, answer);
        const QString patient =
            QStringLiteral("Q%1").arg(QTest::currentDataTag() ? qHash(QString::fromLatin1(QTest::currentDataTag())) % 100000 : 0);
        UserPath up(*h);
        QVERIFY(up.enter(patient, kDate));
        TfrmDiagPaci *f = up.screen();
        QVERIFY(f);
        if (work == QLatin1String("note")) {
            up.click(f->pgcPadrao->tabBar(), f->pgcPadrao->tabBar()->tabRect(f->pgcPadrao->indexOf(f->tshHistorico)).center());
            up.focus(f->rceHistDoen);
            up.type(QStringLiteral("Dor toracica"));
            QCOMPARE(f->cdsHistDoen->state(), DataSetState::Insert);
        } else {
            up.clickCell(f->dbgPadrao, 0, 0);
            up.key(Qt::Key_F2);
            up.type(QStringLiteral("I10"));
            up.key(Qt::Key_Tab); // checked against the catalogue and the server
            QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert);
            QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("NMDIAGNOST"))->asString(),
                     QStringLiteral("Hipertensão essencial (primária)"));
        }
        kmp::HostWindow *window = m_host->window.get();
        {
            kmp::ScriptedDialogs dialogs;
            dialogs.thenAnswer(answer);
            if (how == QLatin1String("menu")) {
                QAction *sair = window->findChild<QAction *>(QStringLiteral("actSair"));
                QVERIFY(sair);
                sair->trigger();
            } else if (how == QLatin1String("keys")) {
                up.key(Qt::Key_F4, Qt::AltModifier);
            } else {
                window->close(); // what the window manager's close button sends
            }
            UserPath::settle();
            QCOMPARE(dialogs.seen().size(), 1);
            QCOMPARE(dialogs.unexpected(), 0);
        }
        if (answer != int(kmp::MessageResult::Yes)) {
            QVERIFY(window->isVisible());
            QVERIFY(frmDiagPaci);
            QCOMPARE(window->mdiArea()->subWindowList().size(), 1);
            if (work == QLatin1String("note")) {
                QCOMPARE(f->rceHistDoen->toPlainText(), QStringLiteral("Dor toracica"));
                QCOMPARE(f->cdsHistDoen->state(), DataSetState::Insert);
                // Still typing where it was.
                up.focus(f->rceHistDoen);
                QTextCursor end = f->rceHistDoen->textCursor();
                end.movePosition(QTextCursor::End);
                f->rceHistDoen->setTextCursor(end);
                up.type(QStringLiteral("!"));
                QCOMPARE(f->rceHistDoen->toPlainText(), QStringLiteral("Dor toracica!"));
            } else {
                QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert);
                QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("I10"));
            }
        } else {
            QVERIFY(!window->isVisible());
            UserPath::settle();
            QVERIFY(!frmDiagPaci);
        }
        // Nothing was saved behind the user's back either way.
        QCOMPARE(storedSection(*h, patient, 0), QString());
        QVERIFY(h->storedDiagnoses(QStringLiteral("0001"), patient, kDate).isEmpty());
    }

    // A slow call shows the indicator, and a click made while it waits is dropped rather
    // than run when the call is over.
    void slowCallsShowTheIndicatorAndDropClicks_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("text");
        QTest::newRow("F5 reload") << "refresh"
                                   << "Carregando...";
        QTest::newRow("code check on leaving the cell") << "check"
                                                        << "Carregando...";
        QTest::newRow("diagnosis save") << "save"
                                        << "Gravando...";
        QTest::newRow("diagnosis delete") << "delete"
                                          << "Gravando...";
    }
    void slowCallsShowTheIndicatorAndDropClicks()
    {
        QFETCH(QString, action);
        QFETCH(QString, text);
        const QString patient = QStringLiteral("S%1").arg(qHash(QString::fromLatin1(QTest::currentDataTag())) % 100000);
        h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(patient, kDate, QStringList{QStringLiteral("E119")}));
        UserPath up(*h);
        QVERIFY(up.enter(patient, kDate));
        TfrmDiagPaci *f = up.screen();
        QVERIFY(f);
        QCOMPARE(f->cdsDiagPaci->recordCount(), 1);
        up.clickCell(f->dbgPadrao, 0, 0);
        if (action == QLatin1String("check") || action == QLatin1String("save")) {
            up.key(Qt::Key_F2);
            up.type(QStringLiteral("I10"));
        }
        if (action == QLatin1String("save")) {
            up.key(Qt::Key_Tab);
            QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("NMDIAGNOST"))->asString(),
                     QStringLiteral("Hipertensão essencial (primária)"));
        }
        // The user's stray click lands on "Sair", which would close the screen (and ask).
        QToolButton *victim = f->sbtSair;
        QVERIFY(victim->isEnabled() && victim->isVisible());
        kmp::ScriptedDialogs dialogs;
        if (action == QLatin1String("delete"))
            dialogs.thenAnswer(kmp::MessageResult::Yes); // "Excl"
        IndicatorWatch watch;
        {
            SlowServerAndImpatientUser slow(h->serverProcessId(), victim, 1500);
            if (action == QLatin1String("refresh"))
                up.key(Qt::Key_F5);
            else if (action == QLatin1String("check"))
                up.key(Qt::Key_Tab);
            else if (action == QLatin1String("save"))
                up.key(Qt::Key_Return, Qt::ControlModifier);
            else
                up.key(Qt::Key_F4);
            slow.wait();
            QVERIFY(slow.clicked());
        }
        UserPath::settle();
        QVERIFY2(watch.texts.contains(text), qPrintable(watch.texts.join(QLatin1String(", "))));
        QCOMPARE(kmp::Showavi::depth(), 0);
        QCOMPARE(dialogs.unexpected(), 0); // the click on "Sair" did not run
        QVERIFY(frmDiagPaci);
        QVERIFY(f->isVisible());
        if (action == QLatin1String("save"))
            QCOMPARE(h->storedDiagnoses(QStringLiteral("0001"), patient, kDate).size(), 2);
        if (action == QLatin1String("delete"))
            QCOMPARE(h->storedDiagnoses(QStringLiteral("0001"), patient, kDate).size(), 0);
    }

    // A clinician who never touches the mouse: a diagnosis found in the catalogue lookup,
    // another typed, the order changed, a note written and saved, the listing run.
    void keyboardOnlyConsultation()
    {
        UserPath up(*h);
        MouseWatch mouse;
        QVERIFY(up.enter(QStringLiteral("KB1"), kDate));
        TfrmDiagPaci *f = up.screen();
        QVERIFY(f);
        up.key(Qt::Key_D, Qt::ControlModifier); // the diagnosis page
        // From the header, Tab reaches the list in a few steps.
        for (int i = 0; i < 6 && QApplication::focusWidget() != f->dbgPadrao; ++i)
            up.key(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f->dbgPadrao));

        kmp::ScriptedDialogs dialogs;
        // The lookup, driven by its keys: words typed into its search box, Enter picks.
        dialogs.then([&up](kmp::DialogRequest &r) {
            auto *lookup = qobject_cast<kmp::LookupDialog *>(r.dialog);
            if (!lookup)
                return int(QDialog::Rejected);
            up.activate(lookup); // the window manager activates a new dialog
            if (QApplication::focusWidget() != static_cast<QWidget *>(lookup->searchBox()))
                return int(QDialog::Rejected); // the keyboard would not start in the search box
            QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("hipert ess"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            return lookup->result();
        });
        up.key(Qt::Key_F2);
        QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert);
        up.key(Qt::Key_F8);
        up.activate(f->dbgPadrao); // the window manager gives the activation back as the lookup closes
        QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("I10"));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f->dbgPadrao));
        up.key(Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Browse);

        up.key(Qt::Key_F2);
        up.type(QStringLiteral("E119"));
        up.key(Qt::Key_Tab);
        up.key(Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(h->storedDiagnoses(QStringLiteral("0001"), QStringLiteral("KB1"), kDate),
                 (QList<QPair<QString, int>>{{QStringLiteral("I10"), 1}, {QStringLiteral("E119"), 2}}));

        // The second one first.
        QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("E119"));
        up.key(Qt::Key_Up, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(h->storedDiagnoses(QStringLiteral("0001"), QStringLiteral("KB1"), kDate),
                 (QList<QPair<QString, int>>{{QStringLiteral("E119"), 1}, {QStringLiteral("I10"), 2}}));

        // Tab leaves the list for the next control instead of wrapping inside it.
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f->dbgPadrao));
        up.key(Qt::Key_End); // the row's last column
        QCOMPARE(f->dbgPadrao->selectedIndex(), f->dbgPadrao->gridColumnCount() - 1);
        up.key(Qt::Key_Tab);
        QWidget *after = QApplication::focusWidget();
        QVERIFY(after && after != f->dbgPadrao && !f->dbgPadrao->isAncestorOf(after));

        // A note: the section by its key, typed, saved with Ctrl+Enter.
        up.key(Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f->rceHistDoen));
        up.type(QStringLiteral("Cefaleia ha tres dias"));
        up.key(Qt::Key_Home, Qt::ShiftModifier); // the line selected
        up.key(Qt::Key_B, Qt::ControlModifier);  // and made bold
        up.key(Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(f->cdsHistDoen->state(), DataSetState::Browse);
        QCOMPARE(storedSection(*h, QStringLiteral("KB1"), 0), QStringLiteral("Cefaleia ha tres dias"));
        {
            const kmp::wire::Response r =
                h->call(QStringLiteral("GetHistGer"), {QStringLiteral("KB1"), QStringLiteral("0001"), kDate});
            QVERIFY(r.ok);
            const kmp::Packet p = kmp::decodePacket(r.result.toArray().at(0).toByteArray());
            QTextDocument stored;
            kmp::rtf::read(p.rows[0][2].toByteArray(), &stored);
            QTextCursor c(&stored);
            c.movePosition(QTextCursor::NextCharacter);
            QCOMPARE(c.charFormat().fontWeight(), int(QFont::Bold));
        }

        // The listing: Ctrl+P opens it on its list, Enter runs the chosen report.
        QString previewTitle;
        bool focusOnList = false;
        dialogs.then([&](kmp::DialogRequest &r) {
            auto *listing = qobject_cast<TfrmDadosGerRel *>(r.dialog);
            if (!listing)
                return int(QDialog::Rejected);
            up.activate(listing);
            focusOnList = QApplication::focusWidget() == listing->lstRelatorios;
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            return listing->result();
        });
        dialogs.then([&](kmp::DialogRequest &r) {
            previewTitle = r.title;
            return int(QDialog::Accepted);
        });
        up.key(Qt::Key_D, Qt::ControlModifier);
        up.key(Qt::Key_P, Qt::ControlModifier);
        QVERIFY(focusOnList);
        QVERIFY2(previewTitle.startsWith(QStringLiteral("Visualizar impressão")), qPrintable(previewTitle));
        QCOMPARE(dialogs.unexpected(), 0);
        QCOMPARE(dialogs.pending(), 0);
        QCOMPARE(mouse.presses, 0);
    }

    // Every control of the screen a screen reader can reach has a name to read, and shows
    // when it has the focus.
    void everyControlIsNamedAndShowsItsFocus_data()
    {
        QTest::addColumn<QString>("page");
        QTest::newRow("diagnosis page") << "diagnosis";
        QTest::newRow("history page") << "history";
        QTest::newRow("signs and symptoms") << "report";
    }
    void everyControlIsNamedAndShowsItsFocus()
    {
        QFETCH(QString, page);
        UserPath up(*h);
        QVERIFY(up.enter(QStringLiteral("ACC1"), kDate));
        TfrmDiagPaci *f = up.screen();
        QVERIFY(f);
        if (page != QLatin1String("diagnosis")) {
            up.click(f->pgcPadrao->tabBar(), f->pgcPadrao->tabBar()->tabRect(f->pgcPadrao->indexOf(f->tshHistorico)).center());
            if (page == QLatin1String("report"))
                up.click(f->pgcHistorico->tabBar(),
                         f->pgcHistorico->tabBar()->tabRect(f->pgcHistorico->indexOf(f->tshSinaSint)).center());
        }
        QStringList unnamed;
        collectUnnamed(QAccessible::queryAccessibleInterface(m_host->window.get()), unnamed);
        // A status field is read with what it shows, not its caption alone.
        for (QLabel *field : m_host->window->statusBar()->findChildren<QLabel *>())
            if (field->isVisible()
                && !QAccessible::queryAccessibleInterface(field)->text(QAccessible::Name).contains(field->text()))
                unnamed << QStringLiteral("status field '%1' reads only \"%2\"")
                               .arg(field->text(), QAccessible::queryAccessibleInterface(field)->text(QAccessible::Name));
        QVERIFY2(unnamed.isEmpty(), qPrintable(QStringLiteral("\n") + unnamed.join(QLatin1Char('\n'))));

        // Every control that can take the focus looks different while it has it.
        QStringList unseen;
        QList<QWidget *> focusable;
        for (QWidget *w : f->findChildren<QWidget *>())
            if (w->isVisible() && w->isEnabled() && w->focusPolicy() != Qt::NoFocus && !w->focusProxy())
                focusable << w;
        QVERIFY(focusable.size() > 2);
        for (QWidget *w : focusable) {
            const QRect around(w->mapTo(f, QPoint(-4, -4)), w->size() + QSize(8, 8));
            (focusable.first() == w ? focusable.last() : focusable.first())->setFocus();
            QApplication::processEvents();
            const QImage before = f->grab(around).toImage();
            w->setFocus();
            QApplication::processEvents();
            // The report's panel turns the focus back to its type while the type is empty.
            if (QApplication::focusWidget() != w)
                continue;
            if (f->grab(around).toImage() == before)
                unseen << QStringLiteral("%1 '%2'").arg(QString::fromLatin1(w->metaObject()->className()), w->objectName());
        }
        QVERIFY2(unseen.isEmpty(), qPrintable(QStringLiteral("no focus shown on:\n") + unseen.join(QLatin1Char('\n'))));
    }
};

QTEST_MAIN(TestHostUserPath)
#include "tst_hostuserpath.moc"
