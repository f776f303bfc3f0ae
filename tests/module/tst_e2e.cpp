// A consultation worked through as a clinician would, by keyboard wherever the screen has
// a key, with what the server holds checked after each step.
#include "actionlist.h"
#include "context.h"
#include "dbgrid.h"
#include "diagnosislist.h"
#include "dialogs.h"
#include "recordset.h"
#include "rtfreader.h"
#include "scripteddialogs.h"
#include "serverfixture.h"
#include "tbuttonflat.h"
#include "tformatpanel.h"
#include "tfrmdiagpaci.h"
#include "tfrmlistdiagpaci.h"
#include "tpagecontrol.h"

#include <QLineEdit>
#include <QTextDocument>
#include <QTextEdit>
#include <QtTest>

using kmp::DataSetState;

namespace {

const double kDate = 46363;
const QString kPatient = QStringLiteral("E2E-0001");

QStringList stored(ScreenHarness &h)
{
    QStringList out;
    for (const auto &r : h.storedDiagnoses(QStringLiteral("0001"), kPatient, kDate))
        out << QStringLiteral("%1:%2").arg(r.first).arg(r.second);
    return out;
}

QString section(ScreenHarness &h, int part)
{
    const kmp::wire::Response r = h.call(QStringLiteral("GetHistGer"), {kPatient, QStringLiteral("0001"), kDate});
    const kmp::Packet p = kmp::decodePacket(r.result.toArray().at(part).toByteArray());
    return p.rows.empty() ? QStringLiteral("<none>") : kmp::rtf::plainText(p.rows[0][2].toByteArray()).trimmed();
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void consultationByKeyboard();
};

void TestEndToEnd::consultationByKeyboard()
{
    ScreenHarness h;
    QString why;
    QVERIFY2(h.start(&why), qPrintable(why));
    TfrmDiagPaci *f = h.open(QStringLiteral("0001"), kPatient, kDate, QStringLiteral("Paciente E2E"));
    QVERIFY(f);
    f->dbgPadrao->setFocus();

    // Two diagnoses keyed, one picked in the catalogue.
    for (const char *code : {"I10", "E119"}) {
        pressKey(f, Qt::Key_F2);
        typeText(f->dbgPadrao, QLatin1String(code));
        pressKey(f, Qt::Key_Tab);
        pressKey(f, Qt::Key_Return, Qt::ControlModifier);
    }
    QCOMPARE(stored(h), (QStringList{"I10:1", "E119:2"}));
    pressKey(f, Qt::Key_F2);
    {
        kmp::ScriptedDialogs dialogs;
        dialogs.then(kmp::answers::pick(0, QStringLiteral("J189")));
        f->dbgPadrao->setSelectedIndex(f->dbgPadrao->columnOf(QStringLiteral("CDDIAGNOST")));
        f->dbgPadrao->clickEditButton();
        QCOMPARE(dialogs.unexpected(), 0);
    }
    pressKey(f, Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(stored(h).size(), 3);

    // The picked one goes to the top of the list. A new row shows where it was keyed until
    // the list is reloaded, so it may take a move more than its stored number suggests.
    for (int i = 0; i < 4 && !stored(h).first().startsWith(QLatin1String("J189")); ++i) {
        QVERIFY(f->cdsDiagPaci->locate(QStringLiteral("CDDIAGNOST"), QStringLiteral("J189")));
        f->sbtItemUp->click();
        QVERIFY(!f->diagnoses()->boReordenando());
    }
    QCOMPARE(stored(h).first().section(QLatin1Char(':'), 0, 0), QStringLiteral("J189"));

    // E119 deleted with F4, answered Yes.
    QVERIFY(f->cdsDiagPaci->locate(QStringLiteral("CDDIAGNOST"), QStringLiteral("E119")));
    {
        kmp::ScriptedDialogs dialogs;
        dialogs.thenAnswer(kmp::MessageResult::Yes);
        pressKey(f, Qt::Key_F4);
    }
    QStringList codes;
    for (const QString &s : stored(h))
        codes << s.section(QLatin1Char(':'), 0, 0);
    QCOMPARE(codes, (QStringList{"J189", "I10"}));

    // Present illness: written, formatted, confirmed.
    pressKey(f, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(f->pgcHistorico->activePage(), f->tshHistDoenAtu);
    f->rceHistDoen->setFocus();
    typeText(f->rceHistDoen, QStringLiteral("Cefaleia ha 3 dias"));
    f->rceHistDoen->selectAll();
    f->frpHistDoen->press(kmp::TFormatBtn::Bold);
    pressKey(f->rceHistDoen, Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(section(h, 0), QStringLiteral("Cefaleia ha 3 dias"));

    // Changed, then cancelled: the stored text comes back.
    pressKey(f->rceHistDoen, Qt::Key_F3);
    QCOMPARE(f->cdsHistDoen->state(), DataSetState::Edit);
    f->rceHistDoen->moveCursor(QTextCursor::End);
    typeText(f->rceHistDoen, QStringLiteral(" e febre"));
    {
        kmp::ScriptedDialogs dialogs;
        dialogs.thenAnswer(kmp::MessageResult::Yes);
        pressKey(f->rceHistDoen, Qt::Key_Escape);
    }
    QCOMPARE(f->rceHistDoen->toPlainText(), QStringLiteral("Cefaleia ha 3 dias"));

    // Family history written and then deleted.
    pressKey(f->rceHistDoen, Qt::Key_H, Qt::ControlModifier);
    QCOMPARE(f->pgcHistorico->activePage(), f->tshHistFam);
    f->rceHistFam->setFocus();
    typeText(f->rceHistFam, QStringLiteral("Mae hipertensa"));
    pressKey(f->rceHistFam, Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(section(h, 2), QStringLiteral("Mae hipertensa"));
    {
        kmp::ScriptedDialogs dialogs;
        dialogs.thenAnswer(kmp::MessageResult::Yes);
        pressKey(f->rceHistFam, Qt::Key_F4);
    }
    QCOMPARE(section(h, 2), QStringLiteral("<none>"));

    // Signs and symptoms: the report starts from its type's template.
    pressKey(f->rceHistFam, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(f->pgcHistorico->activePage(), f->tshSinaSint);
    f->medTpLaudo->setFocus();
    typeText(f->medTpLaudo, QStringLiteral("1"));
    f->rceLaudo->setFocus(); // entering the report panel
    QApplication::processEvents();
    QCOMPARE(f->medTpLaudo->text(), QStringLiteral("001"));
    const kmp::Packet report =
        h.packet(QStringLiteral("GetMemLaudo"), {QStringLiteral("0001"), kPatient, QStringLiteral("001"), kDate});
    QCOMPARE(int(report.rows.size()), 1);

    // The listing, as a PDF.
    TfrmListDiagPaci listing;
    listing.initialize();
    QTemporaryDir dir;
    QVERIFY(listing.exportPdf(dir.filePath(QStringLiteral("listagem.pdf"))));
    const QString text = listing.runSelected()->toPlainText();
    QVERIFY(text.indexOf(QStringLiteral("J189")) < text.indexOf(QStringLiteral("I10")));
    QVERIFY(!text.contains(QStringLiteral("E119")));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
