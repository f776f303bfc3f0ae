#include "context.h"
#include "datasource.h"
#include "dbgrid.h"
#include "diagnosislist.h"
#include "dialogs.h"
#include "exceptions.h"
#include "recordset.h"
#include "scripteddialogs.h"
#include "serverfixture.h"
#include "tbuttonflat.h"
#include "tfrmdiagpaci.h"
#include "tpagecontrol.h"

#include <QToolButton>
#include <QtTest>

using kmp::DataSetState;

namespace {

const double kDate = 46363; // 07/12/2026

QStringList codesOnScreen(TfrmDiagPaci *f)
{
    QStringList out;
    for (int r = 0; r < f->cdsDiagPaci->recordCount(); ++r)
        out << f->cdsDiagPaci->value(r, f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->index()).toString();
    return out;
}

QString lastMessage()
{
    const auto log = kmp::Dialogs::log();
    return log.isEmpty() ? QString() : log.last().text;
}

} // namespace

class TestDiagnosisList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void keyedRowIsSavedWithItsKeys();
    void validationMessages_data();
    void validationMessages();
    void lookupFillsTheRow();
    void numberingContinuesFromTheLastRow();
    void moves_data();
    void moves();
    void refusedSaveLeavesTheGridAsBefore();
    void failedMoveRestoresTheList();
    void escapeAsksAndCancels();
    void keysOnlyReachANewRow();
    void admissionListRefusesInserts();
    void controlsFollowTheListState();

private:
    TfrmDiagPaci *openFor(const QString &patient, const QList<QPair<QString, int>> &rows = {});
    std::unique_ptr<ScreenHarness> h;
};

void TestDiagnosisList::initTestCase()
{
    h = std::make_unique<ScreenHarness>();
    QString why;
    QVERIFY2(h->start(&why), qPrintable(why));
}

void TestDiagnosisList::init()
{
    kmp::Dialogs::clearLog();
}

void TestDiagnosisList::cleanup()
{
    kmp::Dialogs::setResponder(kmp::answers::ok());
    if (frmDiagPaci && frmDiagPaci->cdsDiagPaci->isEditing()) {
        kmp::ScopedResponder yes(kmp::answers::yes());
        frmDiagPaci->cdsDiagPaci->cancel();
    }
    h->closeScreen();
}

TfrmDiagPaci *TestDiagnosisList::openFor(const QString &patient, const QList<QPair<QString, int>> &rows)
{
    if (!rows.isEmpty())
        h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(patient, kDate, rows));
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), patient, kDate);
    f->pgcPadrao->SetActivePage(f->tshPadrao);
    f->dbgPadrao->setFocus();
    QApplication::processEvents();
    return f;
}

void TestDiagnosisList::keyedRowIsSavedWithItsKeys()
{
    TfrmDiagPaci *f = openFor(QStringLiteral("D1"));
    pressKey(f, Qt::Key_F2);
    QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert);
    typeText(f->dbgPadrao, QStringLiteral("I10"));
    pressKey(f, Qt::Key_Tab);
    QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("NMDIAGNOST"))->asString(),
             QStringLiteral("Hipertensão essencial (primária)"));
    pressKey(f, Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Browse);
    QCOMPARE(f->cdsDiagPaci->changeCount(), 0);

    const kmp::Packet p = h->packet(QStringLiteral("GetDiagPaci"), {QStringLiteral("0001"), QStringLiteral("D1"), kDate});
    QCOMPARE(int(p.rows.size()), 1);
    QHash<QString, QVariant> row;
    for (size_t i = 0; i < p.fields.size(); ++i)
        row[p.fields[i].name] = p.rows[0][i];
    QCOMPARE(row[QStringLiteral("CDFILIAL")].toString(), QStringLiteral("0001"));
    QCOMPARE(row[QStringLiteral("CDPACIENTE")].toString(), QStringLiteral("D1"));
    QCOMPARE(row[QStringLiteral("DTCONSPACI")].toDouble(), kDate);
    QCOMPARE(row[QStringLiteral("CDDIAGNOST")].toString(), QStringLiteral("I10"));
    QCOMPARE(row[QStringLiteral("NRSEQUENCIA")].toDouble(), 1.0);
    QCOMPARE(row[QStringLiteral("CDTABECDI")].toString(), QStringLiteral("CID10"));
}

void TestDiagnosisList::validationMessages_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty code") << QString() << QStringLiteral("Código deve ser  informado.");
    QTest::newRow("letter case differs") << QStringLiteral("i10") << QStringLiteral("Diagnóstico não cadastrado.");
    QTest::newRow("not in the catalogue") << QStringLiteral("ZZZ9") << QStringLiteral("Diagnóstico não cadastrado.");
    QTest::newRow("already recorded") << QStringLiteral("J189") << QStringLiteral("Diagnóstico já cadastrado.");
}

void TestDiagnosisList::validationMessages()
{
    QFETCH(QString, code);
    QFETCH(QString, message);
    static int run = 0;
    const QString patient = QStringLiteral("D2-%1").arg(++run);
    TfrmDiagPaci *f = openFor(patient, {{QStringLiteral("J189"), 1}});
    f->cdsDiagPaci->insert();
    if (!code.isEmpty())
        f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(code);
    kmp::ScopedResponder ok(kmp::answers::ok());
    kmp::guarded(f, [&] { f->cdsDiagPaci->post(); });
    QCOMPARE(lastMessage(), message);
    QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert); // nothing stored, what was typed kept
    QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), code);
    QCOMPARE(h->storedDiagnoses(QStringLiteral("0001"), patient, kDate).size(), 1);
    QCOMPARE(f->diagnoses()->nrUltSequencia(), 1);
}

void TestDiagnosisList::lookupFillsTheRow()
{
    TfrmDiagPaci *f = openFor(QStringLiteral("D3"));
    pressKey(f, Qt::Key_F2);
    kmp::ScriptedDialogs dialogs;
    dialogs.then(kmp::answers::pick(0, QStringLiteral("hipert ess")));
    f->dbgPadrao->setSelectedIndex(f->dbgPadrao->columnOf(QStringLiteral("CDDIAGNOST")));
    f->dbgPadraoEditButtonClick();
    QCOMPARE(dialogs.unexpected(), 0);
    QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("I10"));
    QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("CDTABECDI"))->asString(), QStringLiteral("CID10"));
    f->cdsDiagPaci->post();
    QCOMPARE(h->storedDiagnoses(QStringLiteral("0001"), QStringLiteral("D3"), kDate).size(), 1);
}

void TestDiagnosisList::numberingContinuesFromTheLastRow()
{
    TfrmDiagPaci *f = openFor(QStringLiteral("D4"), {{QStringLiteral("A09"), 2}, {QStringLiteral("B349"), 5}});
    QCOMPARE(f->diagnoses()->nrUltSequencia(), 5);
    for (const char *code : {"I10", "E119", "J189"}) {
        f->cdsDiagPaci->first();
        f->cdsDiagPaci->insert(); // wherever it stands in the grid
        f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QLatin1String(code));
        f->cdsDiagPaci->post();
    }
    const auto stored = h->storedDiagnoses(QStringLiteral("0001"), QStringLiteral("D4"), kDate);
    QCOMPARE(stored, (QList<QPair<QString, int>>{{QStringLiteral("A09"), 2},
                                                 {QStringLiteral("B349"), 5},
                                                 {QStringLiteral("I10"), 6},
                                                 {QStringLiteral("E119"), 7},
                                                 {QStringLiteral("J189"), 8}}));
}

void TestDiagnosisList::moves_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("second up") << 1 << true << QStringList{"B349", "A09", "D649"};
    QTest::newRow("second down") << 1 << false << QStringList{"A09", "D649", "B349"};
    QTest::newRow("first up stays") << 0 << true << QStringList{"A09", "B349", "D649"};
    QTest::newRow("last down stays") << 2 << false << QStringList{"A09", "B349", "D649"};
}

void TestDiagnosisList::moves()
{
    QFETCH(int, row);
    QFETCH(bool, up);
    QFETCH(QStringList, order);
    static int run = 0;
    const QString patient = QStringLiteral("D5-%1").arg(++run);
    TfrmDiagPaci *f = openFor(patient, {{QStringLiteral("A09"), 1}, {QStringLiteral("B349"), 2}, {QStringLiteral("D649"), 3}});
    f->cdsDiagPaci->moveTo(row);
    const QString moved = f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->asString();
    QVERIFY(f->sbtItemUp->isEnabled());
    QTest::mouseClick(up ? f->sbtItemUp : f->sbtItemDown, Qt::LeftButton);
    QCOMPARE(codesOnScreen(f), order);
    QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), moved);
    QVERIFY(!f->diagnoses()->boReordenando());
    QCOMPARE(f->dbgPadrao->dataSource(), f->dtsPadrao);
    QStringList stored;
    QList<int> numbers;
    for (const auto &r : h->storedDiagnoses(QStringLiteral("0001"), patient, kDate)) {
        stored << r.first;
        numbers << r.second;
    }
    QCOMPARE(stored, order);
    QCOMPARE(numbers, (QList<int>{1, 2, 3}));
}

void TestDiagnosisList::refusedSaveLeavesTheGridAsBefore()
{
    TfrmDiagPaci *f = openFor(QStringLiteral("D6"), {{QStringLiteral("A09"), 1}, {QStringLiteral("B349"), 2}});
    // Another clinician renumbers the first row: the screen's copy is now stale.
    kmp::Delta d = diagnosisDelta(QStringLiteral("D6"), kDate, {{QStringLiteral("A09"), 1}});
    d.changes[0].kind = kmp::ChangeKind::Modify;
    d.changes[0].oldValues =
        h->packet(QStringLiteral("GetDiagPaci"), {QStringLiteral("0001"), QStringLiteral("D6"), kDate}).rows.at(0);
    d.changes[0].newValues = d.changes[0].oldValues;
    d.changes[0].newValues[5] = 9.0;
    h->save(QStringLiteral("SetDiagPaci"), d);

    kmp::ScriptedDialogs dialogs;
    dialogs.thenAnswer(kmp::MessageResult::Yes).then(kmp::answers::ok());
    f->cdsDiagPaci->first();
    pressKey(f, Qt::Key_F4);
    QCOMPARE(codesOnScreen(f), (QStringList{"A09", "B349"})); // the deleted row came back
    QCOMPARE(f->cdsDiagPaci->changeCount(), 0);
    QVERIFY(dialogs.seen().size() >= 2);
    QCOMPARE(dialogs.seen().at(1).type, kmp::MessageType::Error);
    QCOMPARE(h->storedDiagnoses(QStringLiteral("0001"), QStringLiteral("D6"), kDate).size(), 2);
}

void TestDiagnosisList::failedMoveRestoresTheList()
{
    TfrmDiagPaci *f = openFor(QStringLiteral("D7"), {{QStringLiteral("A09"), 1}, {QStringLiteral("B349"), 2}});
    // Another clinician removes the first row: the screen's copy is now stale.
    kmp::Delta d = diagnosisDelta(QStringLiteral("D7"), kDate, {{QStringLiteral("A09"), 1}});
    d.changes[0].kind = kmp::ChangeKind::Delete;
    d.changes[0].oldValues =
        h->packet(QStringLiteral("GetDiagPaci"), {QStringLiteral("0001"), QStringLiteral("D7"), kDate}).rows.at(0);
    d.changes[0].newValues.clear();
    h->save(QStringLiteral("SetDiagPaci"), d);

    kmp::ScopedResponder ok(kmp::answers::ok());
    f->cdsDiagPaci->moveTo(1);
    QTest::mouseClick(f->sbtItemUp, Qt::LeftButton); // its first save is refused as stale
    QVERIFY(!f->diagnoses()->boReordenando());
    QCOMPARE(f->dbgPadrao->dataSource(), f->dtsPadrao);
    QCOMPARE(f->cdsDiagPaci->changeCount(), 0);
    // the list shows what the server holds, and later rows are stamped again
    QCOMPARE(f->cdsDiagPaci->fieldByName(QStringLiteral("NMDIAGNOST"))->asString().isEmpty(), false);
    f->cdsDiagPaci->insert();
    f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("I10"));
    f->cdsDiagPaci->post();
    const auto stored = h->storedDiagnoses(QStringLiteral("0001"), QStringLiteral("D7"), kDate);
    QCOMPARE(stored.last(), (QPair<QString, int>(QStringLiteral("I10"), 3)));
}

void TestDiagnosisList::escapeAsksAndCancels()
{
    TfrmDiagPaci *f = openFor(QStringLiteral("D8"));
    pressKey(f, Qt::Key_F2);
    typeText(f->dbgPadrao, QStringLiteral("I1"));
    {
        kmp::ScriptedDialogs no;
        no.thenAnswer(kmp::MessageResult::No);
        pressKey(f, Qt::Key_Escape);
        QCOMPARE(no.seen().size(), 1);
        QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert);
    }
    {
        kmp::ScriptedDialogs yes;
        yes.thenAnswer(kmp::MessageResult::Yes);
        pressKey(f, Qt::Key_Escape);
        QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Browse);
        QCOMPARE(f->cdsDiagPaci->recordCount(), 0);
    }
}

void TestDiagnosisList::keysOnlyReachANewRow()
{
    TfrmDiagPaci *f = openFor(QStringLiteral("D9"), {{QStringLiteral("A09"), 1}});
    QChar key(QLatin1Char('x'));
    f->dbgPadraoKeyPress(key);
    QVERIFY(key.isNull());
    f->cdsDiagPaci->insert();
    key = QLatin1Char('x');
    f->dbgPadraoKeyPress(key);
    QCOMPARE(key, QChar(QLatin1Char('x')));
    key = QLatin1Char('y');
    f->dbgDiagAssoKeyPress(key);
    QVERIFY(key.isNull());
}

void TestDiagnosisList::admissionListRefusesInserts()
{
    TfrmDiagPaci *f = openFor(QStringLiteral("000000000001"));
    const int before = f->cdsDiagAsso->recordCount();
    QVERIFY(before > 0);
    QVERIFY(kmp::guarded(f, [&] { f->cdsDiagAsso->insert(); }) == false);
    QCOMPARE(f->cdsDiagAsso->recordCount(), before);
    QVERIFY(kmp::Dialogs::log().isEmpty());
}

void TestDiagnosisList::controlsFollowTheListState()
{
    TfrmDiagPaci *f = openFor(QStringLiteral("D10"), {{QStringLiteral("A09"), 1}});
    f->FormActivate();
    QVERIFY(f->sbtItemUp->isEnabled());
    f->cdsDiagPaci->insert();
    QVERIFY(!f->sbtItemUp->isEnabled());
    QVERIFY(!f->tshHistorico->pageEnabled());
    QVERIFY(!f->mnuForaEdicao1->isEnabled());
    QVERIFY(f->dbgPadrao->columnButton(f->dbgPadrao->columnOf(QStringLiteral("CDDIAGNOST"))));
    QVERIFY(!f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->isReadOnly());
    f->cdsDiagPaci->cancel();
    QVERIFY(f->tshHistorico->pageEnabled());
    QVERIFY(!f->sbtAlterar->isEnabled());
    QVERIFY(f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->isReadOnly());
    QVERIFY(!f->dbgPadrao->columnButton(f->dbgPadrao->columnOf(QStringLiteral("CDDIAGNOST"))));
}

QTEST_MAIN(TestDiagnosisList)
#include "tst_diagnosislist.moc"
