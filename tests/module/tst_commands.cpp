#include "actionlist.h"
#include "context.h"
#include "datasource.h"
#include "dbgrid.h"
#include "diagnosislist.h"
#include "dialogs.h"
#include "exceptions.h"
#include "recordset.h"
#include "scripteddialogs.h"
#include "serverfixture.h"
#include "tfrmdiagpaci.h"
#include "tfrmlistdiagpaci.h"
#include "tpagecontrol.h"

#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest>

using kmp::DataSetState;

namespace {

const double kDate = 46363;

// The text of each page of a PDF, as a reader would extract it; empty when the extractor
// is missing.
QStringList pdfPages(const QString &pdf)
{
    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
    if (!pdftotext.waitForFinished(20000) || pdftotext.exitCode() != 0)
        return {};
    QStringList pages = QString::fromUtf8(pdftotext.readAllStandardOutput()).split(QLatin1Char('\f'));
    if (!pages.isEmpty() && pages.last().trimmed().isEmpty())
        pages.removeLast();
    return pages;
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void changeKeyDoesNothingOnTheDiagnosisPage();
    void cancelAsksEvenInBrowse();
    void deletingTheLastDiagnosisReloads();
    void deleteOnEmptyListOnlyReloads();
    void deletingASectionRefreshes();
    void reportParameters_data();
    void reportParameters();
    void printOpensAFreshModalScreenEachTime();
    void listingPdfHasTheDiagnoses();
    void listingPagesSayWhoseTheyAre_data();
    void listingPagesSayWhoseTheyAre();

private:
    std::unique_ptr<ScreenHarness> h;
};

void TestCommands::initTestCase()
{
    h = std::make_unique<ScreenHarness>();
    QString why;
    QVERIFY2(h->start(&why), qPrintable(why));
}

void TestCommands::init()
{
    kmp::Dialogs::clearLog();
}

void TestCommands::cleanup()
{
    kmp::Dialogs::setResponder(kmp::answers::ok());
    TfrmDiagPaci::startOnHistoryPage = false;
    h->closeScreen();
}

void TestCommands::changeKeyDoesNothingOnTheDiagnosisPage()
{
    h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(QStringLiteral("C1"), kDate, {QStringLiteral("A09")}));
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), QStringLiteral("C1"), kDate);
    f->dbgPadrao->setFocus();
    pressKey(f, Qt::Key_F3);
    QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Browse);
    QVERIFY(!f->sbtAlterar->isEnabled());
}

void TestCommands::cancelAsksEvenInBrowse()
{
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), QStringLiteral("C2"), kDate);
    kmp::ScriptedDialogs dialogs;
    dialogs.thenAnswer(kmp::MessageResult::Yes);
    QTest::mouseClick(f->sbtCancelar, Qt::LeftButton); // disabled buttons take no click...
    f->sbtCancelarClick(f->sbtCancelar);               // ...but the command itself still asks
    QCOMPARE(dialogs.seen().size(), 1);
    QCOMPARE(dialogs.seen().first().type, kmp::MessageType::Confirmation);
    QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Browse);
}

void TestCommands::deletingTheLastDiagnosisReloads()
{
    h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(QStringLiteral("C3"), kDate, {QStringLiteral("A09")}));
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), QStringLiteral("C3"), kDate);
    QCOMPARE(f->diagnoses()->nrUltSequencia(), 1);
    kmp::ScriptedDialogs dialogs;
    dialogs.thenAnswer(kmp::MessageResult::Yes);
    f->dbgPadrao->setFocus();
    pressKey(f, Qt::Key_F4);
    QCOMPARE(dialogs.seen().size(), 1);
    QVERIFY(f->cdsDiagPaci->isEmpty());
    QCOMPARE(f->diagnoses()->nrUltSequencia(), 0); // the final check reloaded the list
    QVERIFY(h->storedDiagnoses(QStringLiteral("0001"), QStringLiteral("C3"), kDate).isEmpty());
    f->sbtExcluir->setEnabled(true);
    f->dbgPadrao->viewport()->repaint(); // the empty grid's paint runs the rule
    QVERIFY(!f->sbtExcluir->isEnabled());
    QVERIFY(!f->mnuProcurar->isEnabled());
}

void TestCommands::deleteOnEmptyListOnlyReloads()
{
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), QStringLiteral("C4"), kDate);
    // Someone else records a diagnosis meanwhile: the reload brings it in, no question asked.
    h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(QStringLiteral("C4"), kDate, {QStringLiteral("B349")}));
    kmp::ScriptedDialogs dialogs;
    f->sbtExcluirClick(f->sbtExcluir);
    QCOMPARE(dialogs.seen().size(), 0);
    QCOMPARE(f->cdsDiagPaci->recordCount(), 1);
}

void TestCommands::deletingASectionRefreshes()
{
    TfrmDiagPaci::startOnHistoryPage = true;
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), QStringLiteral("C5"), kDate);
    f->pgcHistorico->SetActivePage(f->tshExamFisi);
    f->rceExamFisi->setFocus();
    typeText(f->rceExamFisi, QStringLiteral("PA 12x8"));
    f->cdsExamFisi->post();
    kmp::ScriptedDialogs dialogs;
    dialogs.thenAnswer(kmp::MessageResult::Yes);
    pressKey(f->rceExamFisi, Qt::Key_F4);
    QCOMPARE(dialogs.seen().size(), 1);
    QVERIFY(f->cdsExamFisi->isEmpty());
    QVERIFY(f->rceExamFisi->toPlainText().isEmpty());
    const kmp::wire::Response r = h->call(QStringLiteral("GetHistGer"), {QStringLiteral("C5"), QStringLiteral("0001"), kDate});
    QVERIFY(kmp::decodePacket(r.result.toArray().at(3).toByteArray()).rows.empty());
}

void TestCommands::reportParameters_data()
{
    QTest::addColumn<QStringList>("defined");
    QTest::addColumn<QString>("branch");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("neither") << QStringList{QStringLiteral("P_OUTRO")} << QStringLiteral("0001") << QStringList{QString()};
    QTest::newRow("patient only") << QStringList{QStringLiteral("P_CDPACIENTE")} << QStringLiteral("0001")
                                  << QStringList{QStringLiteral("PX")};
    QTest::newRow("both") << QStringList{QStringLiteral("P_CDFILIAL"), QStringLiteral("P_CDPACIENTE")} << QStringLiteral("0002")
                          << QStringList{QStringLiteral("0002"), QStringLiteral("PX")};
    QTest::newRow("empty branch") << QStringList{QStringLiteral("P_CDFILIAL")} << QString() << QStringList{QString()};
}

void TestCommands::reportParameters()
{
    QFETCH(QStringList, defined);
    QFETCH(QString, branch);
    QFETCH(QStringList, expected);
    stCdFilial = branch;
    stCdPaciente = QStringLiteral("PX");
    TfrmListDiagPaci screen;
    kmp::ReportParams params;
    for (const QString &name : defined)
        params.add(name, QString());
    bool ok = true;
    screen.rpddPadraoBeforeGetQueryParams(params, ok);
    QVERIFY(ok);
    QCOMPARE(params.count(), defined.size()); // nothing created that the report does not define
    for (int i = 0; i < params.count(); ++i)
        QCOMPARE(params.valueAt(i).toString(), expected.value(i));
}

void TestCommands::printOpensAFreshModalScreenEachTime()
{
    TfrmDiagPaci *f = h->open(QStringLiteral("0001"), QStringLiteral("C6"), kDate);
    QList<QDialog *> shown;
    QStringList codes;
    kmp::ScopedResponder responder([&](kmp::DialogRequest &r) {
        if (r.kind == kmp::DialogKind::Custom) {
            shown << r.dialog;
            auto *screen = qobject_cast<TfrmListDiagPaci *>(r.dialog);
            codes << (screen ? screen->reportCode() : QString());
            return int(QDialog::Rejected);
        }
        return int(kmp::MessageResult::Ok);
    });
    QTest::mouseClick(f->sbtImprimir, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::mouseClick(f->sbtImprimir, Qt::LeftButton);
    QCOMPARE(shown.size(), 2);
    QCOMPARE(codes, (QStringList{QStringLiteral("KMP128"), QStringLiteral("KMP128")}));
    QVERIFY(shown[0] != nullptr);
}

void TestCommands::listingPdfHasTheDiagnoses()
{
    h->save(QStringLiteral("SetDiagPaci"),
            diagnosisDelta(QStringLiteral("C7"), kDate, {QStringLiteral("I10"), QStringLiteral("E119")}));
    h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(QStringLiteral("C7"), kDate - 30, {QStringLiteral("J189")}));
    h->open(QStringLiteral("0001"), QStringLiteral("C7"), kDate);
    TfrmListDiagPaci screen;
    screen.initialize();
    QCOMPARE(screen.reports().size(), 1);
    QCOMPARE(screen.lblCodTela->text(), QStringLiteral("KMP12801"));
    QCOMPARE(screen.lblCodRel->text(), QStringLiteral("KMP128"));
    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("listagem.pdf"));
    QVERIFY(screen.exportPdf(pdf));
    const QString shots = qEnvironmentVariable("KMP_SCREENSHOT_DIR");
    if (!shots.isEmpty()) // for a person to look at
        QVERIFY(QFile::copy(pdf, shots + QStringLiteral("/listagem-diagnosticos.pdf"))
                || QFile::exists(shots + QStringLiteral("/listagem-diagnosticos.pdf")));
    const QString text = screen.runSelected()->toPlainText();
    // by consultation date, in list order, with code and name, headed with branch and patient
    const int older = text.indexOf(QStringLiteral("07/11/2026"));
    const int newer = text.indexOf(QStringLiteral("07/12/2026"));
    QVERIFY2(older >= 0 && newer > older, qPrintable(text));
    QVERIFY(text.indexOf(QStringLiteral("I10")) > newer);
    QVERIFY(text.indexOf(QStringLiteral("E119")) > text.indexOf(QStringLiteral("I10")));
    QVERIFY(text.contains(QStringLiteral("Paciente: C7")));
    QVERIFY(text.contains(QStringLiteral("Filial: 0001")));
    const QString pdfText = pdfPages(pdf).join(QLatin1Char('\f'));
    if (pdfText.isEmpty())
        QSKIP("pdftotext (poppler-utils) is not available to read the PDF back");
    QVERIFY2(pdfText.contains(QStringLiteral("E119")) && pdfText.contains(QStringLiteral("Pneumonia")), qPrintable(pdfText));
}

// Rows run in order: the demo patient has no diagnoses until the second row stores them.
void TestCommands::listingPagesSayWhoseTheyAre_data()
{
    QTest::addColumn<int>("consultations"); // each with 43 diagnoses
    QTest::addColumn<int>("minPages");
    QTest::newRow("no diagnoses: the names all the same") << 0 << 1;
    QTest::newRow("301 diagnoses over many pages") << 7 << 5;
}

void TestCommands::listingPagesSayWhoseTheyAre()
{
    QFETCH(int, consultations);
    QFETCH(int, minPages);
    const QString patient = QStringLiteral("000000000001");
    QStringList codes;
    const kmp::Packet catalogue = h->packet(QStringLiteral("GetDiagnost"), {});
    size_t code = 0;
    while (code + 1 < catalogue.fields.size() && catalogue.fields[code].name != QLatin1String("CDDIAGNOST"))
        ++code;
    for (const kmp::RowValues &row : catalogue.rows)
        codes << row[code].toString();
    codes = codes.mid(0, 43);
    for (int i = 0; i < consultations; ++i)
        h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(patient, kDate - 100 - 7 * i, codes));
    h->open(QStringLiteral("0001"), patient, kDate);
    TfrmListDiagPaci screen;
    screen.initialize();
    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("listagem.pdf"));
    QVERIFY(screen.exportPdf(pdf));
    if (const QString shots = qEnvironmentVariable("KMP_SCREENSHOT_DIR"); !shots.isEmpty()) // for a person to look at
        QFile::copy(pdf, QStringLiteral("%1/listagem-%2-consultas.pdf").arg(shots).arg(consultations));
    const QStringList pages = pdfPages(pdf);
    if (pages.isEmpty())
        QSKIP("pdftotext (poppler-utils) is not available to read the PDF back");
    QVERIFY2(pages.size() >= minPages, qPrintable(pages.join(QStringLiteral("\n----\n"))));
    QCOMPARE(pages.join(QString()).contains(QStringLiteral("Nenhum diagnóstico")), consultations == 0);
    const QString today = QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy"));
    for (int i = 0; i < pages.size(); ++i)
        for (const QString &must :
             {QStringLiteral("0001 - Filial de demonstração"), QStringLiteral("000000000001 - Maria da Silva"),
              QStringLiteral("Ordem"), QStringLiteral("Código"), QStringLiteral("Diagnóstico"), QStringLiteral("KMP12801"), today,
              QStringLiteral("página %1 de %2").arg(i + 1).arg(pages.size())})
            QVERIFY2(pages[i].contains(must),
                     qPrintable(QStringLiteral("page %1 lacks \"%2\":\n%3").arg(i + 1).arg(must, pages[i])));
}

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
