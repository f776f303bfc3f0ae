#include "context.h"
#include "entry.h"
#include "recordset.h"
#include "serverfixture.h"
#include "tfrmdiagpaci.h"

#include "dbgrid.h"
#include "tdateeditplus.h"
#include <QFile>
#include <QLineEdit>
#include <QToolButton>
#include <QtTest>

class TestEntry : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void badArraysChangeNothing_data();
    void badArraysChangeNothing();
    void dateAsDateOrNumberIsTheSame();
    void secondCallReusesTheScreen();
    void closeThenEnterBuildsANewScreen();
    void emptyBranchUsesHostBranchFromTheFirstLoad();
    void otherConsultationReloadsTheScreen();
    void otherConsultationRefusedWhileTyping();
    void failingServerLeavesNoScreen();
    void initializationCounters();
    void compactLayoutForModuleP();
    void reopenedScreenSeesWhatChangedMeanwhile_data();
    void reopenedScreenSeesWhatChangedMeanwhile();
    void securedServerLetsInOnlyTheStationsKey_data();
    void securedServerLetsInOnlyTheStationsKey();

private:
    std::unique_ptr<ScreenHarness> h;
};

void TestEntry::initTestCase()
{
    h = std::make_unique<ScreenHarness>();
    QString why;
    QVERIFY2(h->start(&why), qPrintable(why));
}

void TestEntry::cleanup()
{
    h->closeScreen();
}

void TestEntry::badArraysChangeNothing_data()
{
    QTest::addColumn<QVariant>("args");
    QTest::newRow("not an array") << QVariant(QStringLiteral("0001"));
    QTest::newRow("three elements") << QVariant(QVariantList{QStringLiteral("0001"), QStringLiteral("P1"), QStringLiteral("x")});
    QTest::newRow("date not a date") << QVariant(
        QVariantList{QStringLiteral("0001"), QStringLiteral("P1"), QStringLiteral("x"), QStringLiteral("amanhã")});
    QTest::newRow("element not text") << QVariant(
        QVariantList{QVariantList{1, 2}, QStringLiteral("P1"), QStringLiteral("x"), 46363.0});
}

void TestEntry::badArraysChangeNothing()
{
    QFETCH(QVariant, args);
    stCdFilial = QStringLiteral("KEEP");
    stCdPaciente = QStringLiteral("KEEP");
    dtConsulta = 1;
    QVERIFY_THROWS_EXCEPTION(kmp::EntryArgumentsError, IniProc(args));
    QCOMPARE(stCdFilial, QStringLiteral("KEEP"));
    QCOMPARE(stCdPaciente, QStringLiteral("KEEP"));
    QCOMPARE(dtConsulta, 1.0);
    QVERIFY(!frmDiagPaci);
}

void TestEntry::dateAsDateOrNumberIsTheSame()
{
    IniProc(QVariant(QVariantList{QStringLiteral("0001"), QStringLiteral("E1"), QStringLiteral("x"), QDate(2026, 12, 7)}));
    const double fromDate = dtConsulta;
    h->closeScreen();
    IniProc(QVariant(QVariantList{QStringLiteral("0001"), QStringLiteral("E1"), QStringLiteral("x"), 46363.0}));
    QCOMPARE(fromDate, 46363.0);
    QCOMPARE(dtConsulta, 46363.0);
    QCOMPARE(frmDiagPaci->DEPDTConsulta->date(), QDate(2026, 12, 7));
}

void TestEntry::secondCallReusesTheScreen()
{
    TfrmDiagPaci *first = h->open(QStringLiteral("0001"), QStringLiteral("E2"), 46363, QStringLiteral("Ana"));
    QVERIFY(first);
    QVERIFY(BostCriado);
    boPrimVez = false;
    TfrmDiagPaci *second = h->open(QStringLiteral("0001"), QStringLiteral("E2"), 46363, QStringLiteral("Ana Souza"));
    QCOMPARE(second, first);
    QVERIFY(boPrimVez);
    QCOMPARE(first->edtPaciente->text(), QStringLiteral("Ana Souza"));
}

void TestEntry::closeThenEnterBuildsANewScreen()
{
    QPointer<TfrmDiagPaci> first = h->open(QStringLiteral("0001"), QStringLiteral("E3"), 46363);
    first->close();
    QVERIFY(!BostCriado);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!first);
    TfrmDiagPaci *second = h->open(QStringLiteral("0001"), QStringLiteral("E3"), 46363);
    QVERIFY(second);
    QVERIFY(second->cdsDiagnost->isActive());
    QVERIFY(second->cdsDiagnost->recordCount() > 10);
}

void TestEntry::emptyBranchUsesHostBranchFromTheFirstLoad()
{
    // A diagnosis stored on the host's branch must show on a screen entered without one.
    h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(QStringLiteral("E4"), 46363, QStringList{QStringLiteral("I10")}));
    TfrmDiagPaci *f = h->open(QString(), QStringLiteral("E4"), 46363);
    QCOMPARE(stCdFilial, QStringLiteral("0001"));
    QCOMPARE(f->cdsDiagPaci->recordCount(), 1);
}

void TestEntry::otherConsultationReloadsTheScreen()
{
    h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(QStringLiteral("E5A"), 46363, QStringList{QStringLiteral("J189")}));
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), QStringLiteral("E5A"), 46363);
    QCOMPARE(f->cdsDiagPaci->recordCount(), 1);
    TfrmDiagPaci *again = h->open(QStringLiteral("0001"), QStringLiteral("E5B"), 46363);
    QCOMPARE(again, f);
    QCOMPARE(stCdPaciente, QStringLiteral("E5B"));
    QCOMPARE(f->cdsDiagPaci->recordCount(), 0); // no rows of the other patient left on screen
}

void TestEntry::otherConsultationRefusedWhileTyping()
{
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), QStringLiteral("E6A"), 46363);
    f->cdsDiagPaci->insert();
    f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("I10"));
    QVERIFY_THROWS_EXCEPTION(kmp::Error, h->open(QStringLiteral("0001"), QStringLiteral("E6B"), 46363));
    QCOMPARE(stCdPaciente, QStringLiteral("E6A"));
    QCOMPARE(f->cdsDiagPaci->state(), kmp::DataSetState::Insert);
    QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("I10"));
    f->cdsDiagPaci->cancel();
}

void TestEntry::failingServerLeavesNoScreen()
{
    h->host().setWebPort(1); // nothing listens there
    stCdPaciente = QStringLiteral("KEEP");
    QVERIFY_THROWS_EXCEPTION(kmp::Error, h->open(QStringLiteral("0001"), QStringLiteral("E7"), 46363));
    QVERIFY(!BostCriado);
    QVERIFY(!frmDiagPaci);
    QCOMPARE(stCdPaciente, QStringLiteral("KEEP")); // the context follows only a screen that opened
    h->host().setWebPort(h->port());
    QVERIFY(h->open(QStringLiteral("0001"), QStringLiteral("E7"), 46363));
    QVERIFY(BostCriado);
}

void TestEntry::initializationCounters()
{
    BostCriado = true;
    Initialize();
    QVERIFY(!BostCriado);
    const kmp::PackageInfoTable *t = GetPackageInfoTable();
    QCOMPARE(t->unitCount, 2);
    QCOMPARE(QByteArray(t->units[0].name), QByteArray("Cli_kmp12801"));
    QCOMPARE(QByteArray(t->units[1].name), QByteArray("Cli_kmp12800"));
    stCdFilial = QStringLiteral("X");
    Initialize(); // a second request is counted, not run again
    Finalize();
    QCOMPARE(stCdFilial, QStringLiteral("X"));
    Finalize(); // the last matching one releases the context
    QVERIFY(stCdFilial.isEmpty());
}

void TestEntry::compactLayoutForModuleP()
{
    h->host().setActiveModule(QStringLiteral("P"));
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), QStringLiteral("000000000001"), 46363);
    h->host().setActiveModule(QStringLiteral("A"));
    QVERIFY(f->Panel3->isHidden());
    QVERIFY(f->Panel4->isHidden());
    QVERIFY(f->dbgDiagAsso->isHidden());
    QCOMPARE(f->height(), 405);
    QVERIFY(f->cdsDiagAsso->isActive()); // still loaded, only not shown
    QVERIFY(f->cdsDiagAsso->recordCount() > 0);
}

void TestEntry::reopenedScreenSeesWhatChangedMeanwhile_data()
{
    QTest::addColumn<bool>("restart"); // the server restarted while the screen was closed
    QTest::newRow("same server") << false;
    QTest::newRow("server restarted") << true;
}

// A screen closed and opened again goes on over the station's idle connection, its loads
// sent while it is being built; what changed at the server meanwhile (a diagnosis saved
// elsewhere, a new catalogue) is what the new screen shows.
void TestEntry::reopenedScreenSeesWhatChangedMeanwhile()
{
    QFETCH(bool, restart);
    ScreenHarness other;
    QString why;
    QVERIFY2(other.start(&why), qPrintable(why));
    TfrmDiagPaci *first = other.open(QStringLiteral("0001"), QStringLiteral("R1"), 46363);
    QVERIFY(first->cdsDiagPaci->isEmpty());
    // Closed as the clinician closes it, with "Sair".
    QTest::mouseClick(first->sbtSair, Qt::LeftButton);
    QTRY_VERIFY(!frmDiagPaci);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QVERIFY2(importCatalogue(QStringLiteral("sqlite:") + other.databaseFile(),
                             {{QStringLiteral("I10"), QStringLiteral("Hipertensão essencial, catálogo revisto")},
                              {QStringLiteral("J189"), QStringLiteral("Pneumonia não especificada")}},
                             &why),
             qPrintable(why));
    other.save(QStringLiteral("SetDiagPaci"), diagnosisDelta(QStringLiteral("R1"), 46363, QStringList{QStringLiteral("I10")}));
    if (restart)
        QVERIFY2(other.restartServer(&why), qPrintable(why));
    const auto connectionsOpened = [&other] {
        QTest::qWait(200); // the log arrives through a pipe
        return other.serverLog().count("aberta de");
    };
    const qsizetype before = connectionsOpened();

    TfrmDiagPaci *f = other.open(QStringLiteral("0001"), QStringLiteral("R1"), 46363);
    QCOMPARE(f->cdsDiagPaci->recordCount(), 1);
    QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("I10"));
    QVERIFY(f->cdsDiagnost->locate(QStringLiteral("CDDIAGNOST"), QStringLiteral("I10")));
    QCOMPARE(f->cdsDiagnost->fieldByName(QStringLiteral("NMDIAGNOST"))->asString(),
             QStringLiteral("Hipertensão essencial, catálogo revisto"));
    if (!restart)
        QCOMPARE(connectionsOpened(), before);
    other.closeScreen();
    kmp::HostServices::setInstance(&h->host());
}

void TestEntry::securedServerLetsInOnlyTheStationsKey_data()
{
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<QByteArray>("secret");
    QTest::addColumn<bool>("letIn");
    QTest::newRow("the station's key") << QStringLiteral("consultorio-3") << QByteArray("s3gredo-da-estacao") << true;
    QTest::newRow("wrong secret") << QStringLiteral("consultorio-3") << QByteArray("outro") << false;
    QTest::newRow("unknown name") << QStringLiteral("intruso") << QByteArray("s3gredo-da-estacao") << false;
    QTest::newRow("no key") << QString() << QByteArray() << false;
}

void TestEntry::securedServerLetsInOnlyTheStationsKey()
{
    QFETCH(QString, keyName);
    QFETCH(QByteArray, secret);
    QFETCH(bool, letIn);
    ScreenHarness secured;
    QFile keys(secured.filePath(QStringLiteral("keys")));
    QVERIFY(keys.open(QIODevice::WriteOnly));
    keys.write("# estações da clínica\nconsultorio-3:s3gredo-da-estacao\n");
    keys.close();
    keys.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    secured.setServerOptions({QStringLiteral("--keys"), keys.fileName()});
    QString why;
    QVERIFY2(secured.start(&why), qPrintable(why));
    kmp::ConnectionSecurity security;
    security.keyName = keyName;
    security.keySecret = secret;
    secured.host().setSecurity(security);
    if (letIn) {
        TfrmDiagPaci *f = secured.open(QStringLiteral("0001"), QStringLiteral("K1"), 46363);
        QVERIFY(f->cdsDiagnost->recordCount() > 10);
    } else {
        QVERIFY_THROWS_EXCEPTION(kmp::Error, secured.open(QStringLiteral("0001"), QStringLiteral("K1"), 46363));
        QVERIFY(!BostCriado);
    }
    secured.closeScreen();
    kmp::HostServices::setInstance(&h->host());
}

QTEST_MAIN(TestEntry)
#include "tst_entry.moc"
