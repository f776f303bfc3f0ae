#include "actionlist.h"
#include "datasource.h"
#include "dbgrid.h"
#include "dbnavigator.h"
#include "dialogs.h"
#include "hostservices.h"
#include "recordset.h"
#include "scripteddialogs.h"
#include "tfrmpadraogrid.h"
#include "tmessages.h"
#include "tpagecontrol.h"

#include <QAction>
#include <QMainWindow>
#include <QMdiArea>
#include <QToolButton>
#include <QtTest>

using namespace kmp;

namespace {

// A screen as a module derives it: its own creation, handlers that call the base first.
class DerivedScreen : public TfrmPadraoGrid
{
public:
    using TfrmPadraoGrid::TfrmPadraoGrid;
    RecordSet *cds = nullptr;
    QStringList log;

    void FormCreate() override
    {
        log << QStringLiteral("FormCreate");
        cds = new RecordSet(QStringLiteral("cdsDiagPaci"), this);
        cds->loadRows(
            {{QStringLiteral("CDDIAGNOST"), FieldKind::String, 6}, {QStringLiteral("NMDIAGNOST"), FieldKind::String, 100}},
            {{QStringLiteral("I10"), QStringLiteral("Hipertensão essencial")}, {QStringLiteral("J45"), QStringLiteral("Asma")}});
        dtsPadrao->setDataSet(cds);
        dbgPadrao->addColumn(QStringLiteral("CDDIAGNOST"), QString(), 63);
        dbgPadrao->addColumn(QStringLiteral("NMDIAGNOST"), QString(), 398, true);
        TfrmPadraoGrid::FormCreate();
    }
    void sbtIncluirClick(QObject *sender) override
    {
        log << QStringLiteral("sbtIncluirClick:") + sender->objectName();
        TfrmPadraoGrid::sbtIncluirClick(sender);
    }
    void FormClose(CloseAction &action) override
    {
        log << QStringLiteral("FormClose");
        TfrmPadraoGrid::FormClose(action);
    }
};

} // namespace

class TestPadraoGrid : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { Dialogs::clearLog(); }

    void toolbarFollowsTheState_data()
    {
        QTest::addColumn<int>("op"); // 0 browse, 1 edit, 2 insert
        QTest::addColumn<bool>("browseButtons");
        QTest::newRow("browse") << 0 << true;
        QTest::newRow("edit") << 1 << false;
        QTest::newRow("insert") << 2 << false;
    }
    void toolbarFollowsTheState()
    {
        QFETCH(int, op);
        QFETCH(bool, browseButtons);
        DerivedScreen screen;
        screen.initialize();
        if (op == 1)
            screen.cds->edit();
        if (op == 2)
            screen.cds->append();
        for (QToolButton *b : {screen.sbtIncluir, screen.sbtAlterar, screen.sbtExcluir, screen.sbtVerificar, screen.sbtProcurar})
            QVERIFY2(b->isEnabled() == browseButtons, qPrintable(b->objectName()));
        for (QToolButton *b : {screen.sbtConfirmar, screen.sbtCancelar})
            QVERIFY2(b->isEnabled() == !browseButtons, qPrintable(b->objectName()));
        QCOMPARE(screen.mnuForaEdicao1->isEnabled(), browseButtons);
        QCOMPARE(screen.mnuForaEdicao2->isEnabled(), browseButtons);
        QCOMPARE(screen.mnuExcluir->isEnabled(), screen.sbtExcluir->isEnabled());
        // And back to browse.
        if (op != 0) {
            screen.cds->cancel();
            QVERIFY(screen.sbtIncluir->isEnabled());
            QVERIFY(!screen.sbtConfirmar->isEnabled());
        }
    }

    void handlersRunByNameAndCreationOnce()
    {
        DerivedScreen screen;
        screen.initialize();
        screen.initialize();
        QCOMPARE(screen.log, QStringList{QStringLiteral("FormCreate")});
        screen.sbtIncluir->click();
        QCOMPARE(screen.log.last(), QStringLiteral("sbtIncluirClick:sbtIncluir"));
        QCOMPARE(screen.cds->state(), DataSetState::Insert); // the base step ran too
        QCOMPARE(screen.pgcPadrao->activePage(), screen.tshPadrao);
        QCOMPARE(static_cast<QWidget *>(screen.dbnPadrao), screen.ctlInativoHistorico);
    }

    void confirmationsAbortSilently_data()
    {
        QTest::addColumn<bool>("deleting");
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("rows");
        QTest::addColumn<DataSetState>("state");
        QTest::newRow("delete, No") << true << int(MessageResult::No) << 2 << DataSetState::Browse;
        QTest::newRow("delete, Yes") << true << int(MessageResult::Yes) << 1 << DataSetState::Browse;
        QTest::newRow("cancel, No keeps the typed row") << false << int(MessageResult::No) << 3 << DataSetState::Insert;
        QTest::newRow("cancel, Yes drops it") << false << int(MessageResult::Yes) << 2 << DataSetState::Browse;
    }
    void confirmationsAbortSilently()
    {
        QFETCH(bool, deleting);
        QFETCH(int, answer);
        QFETCH(int, rows);
        QFETCH(DataSetState, state);
        DerivedScreen screen;
        screen.initialize();
        if (!deleting) {
            screen.cds->append();
            screen.cds->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("R51"));
        }
        ScriptedDialogs script;
        script.thenAnswer(answer);
        (deleting ? screen.sbtExcluir : screen.sbtCancelar)->click();
        QCOMPARE(script.seen().size(), 1); // the question only: the abort shows nothing
        QCOMPARE(script.seen().at(0).type, MessageType::Confirmation);
        QCOMPARE(script.seen().at(0).text, deleting ? QStringLiteral("Confirma a exclusão do registro?")
                                                    : QStringLiteral("Confirma o cancelamento das alterações?"));
        QCOMPARE(screen.cds->recordCount(), rows);
        QCOMPARE(screen.cds->state(), state);
        if (state == DataSetState::Insert)
            QCOMPARE(screen.cds->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("R51"));
    }

    void searchPicksOnTheMainGrid()
    {
        DerivedScreen screen;
        screen.initialize();
        screen.cds->first();
        ScopedResponder r(answers::pick(0, QStringLiteral("asma")));
        screen.sbtProcurar->click();
        QCOMPARE(screen.cds->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("J45"));
    }

    void f1OpensTheHelpPageOfTheContext()
    {
        DerivedScreen screen;
        screen.initialize();
        screen.setHelpContext(11112800);
        QVERIFY2(!TfrmPadraoGrid::helpFile(11112800).isEmpty(), "help page in the source tree");
        screen.show();
        QVERIFY(QTest::qWaitForWindowActive(&screen));
        ScriptedDialogs script;
        script.thenAnswer(QDialog::Accepted);
        screen.dbgPadrao->setFocus();
        QTest::keyClick(screen.dbgPadrao, Qt::Key_F1);
        QCOMPARE(script.seen().size(), 1);
        QCOMPARE(script.seen().at(0).kind, DialogKind::Help);
        QVERIFY(script.seen().at(0).text.endsWith(QStringLiteral("11112800.html")));
        // An unknown context says so instead of showing an empty page.
        screen.setHelpContext(42);
        script.thenAnswer(MessageResult::Ok);
        QTest::keyClick(screen.dbgPadrao, Qt::Key_F1);
        QCOMPARE(script.seen().size(), 2);
        QCOMPARE(script.seen().at(1).kind, DialogKind::Message);
    }

    void livesInTheMdiAreaAndIsDisposedOnClose_data()
    {
        QTest::addColumn<bool>("byMenu");
        QTest::addColumn<QSize>("mainSize");
        QTest::newRow("exit command") << true << QSize(1100, 850);
        QTest::newRow("close box") << false << QSize(1100, 850);
        QTest::newRow("small host window") << false << QSize(620, 460);
    }
    void livesInTheMdiAreaAndIsDisposedOnClose()
    {
        QFETCH(bool, byMenu);
        QFETCH(QSize, mainSize);
        QMainWindow main;
        auto *mdi = new QMdiArea(&main);
        main.setCentralWidget(mdi);
        QObject application;
        MemoryHostServices host;
        host.setMdiArea(mdi);
        host.setMainForm(&main);
        host.setApplication(&application);
        HostServices::setInstance(&host);
        main.resize(mainSize);
        main.show();
        QPointer<DerivedScreen> screen = new DerivedScreen(&application);
        screen->initialize();
        screen->setFormGeometry(332, 201, 656, 555);
        screen->bringToFront();
        QVERIFY(screen->subWindow());
        QCOMPARE(screen->subWindow()->mdiArea(), mdi);
        if (mainSize.width() > 1000)
            QCOMPARE(screen->subWindow()->geometry(), QRect(332, 201, 656, 555));
        else // a small (or scaled) screen: moved and shrunk into the area, title bar in reach
            QVERIFY(mdi->viewport()->rect().contains(screen->subWindow()->geometry()));
        QVERIFY(screen->isVisible());
        if (byMenu)
            screen->mnuSair->trigger();
        else
            screen->subWindow()->close();
        QCOMPARE(screen->log.last(), QStringLiteral("FormClose"));
        QTRY_VERIFY(screen.isNull());
        QVERIFY(mdi->subWindowList().isEmpty());
        HostServices::setInstance(nullptr);
    }

    void ownerTakesItsScreensAlong()
    {
        auto application = std::make_unique<QObject>();
        QPointer<DerivedScreen> screen = new DerivedScreen(application.get());
        application.reset();
        QVERIFY(screen.isNull());
    }
};

QTEST_MAIN(TestPadraoGrid)
#include "tst_padraogrid.moc"
