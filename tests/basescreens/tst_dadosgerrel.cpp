#include "dialogs.h"
#include "exceptions.h"
#include "tfrmdadosgerrel.h"

#include <QToolButton>
#include <QtTest>

using namespace kmp;

class TestDadosGerRel : public QObject
{
    Q_OBJECT

    static ReportDefinition listing(QStringList params, QString *queried)
    {
        ReportDefinition r;
        r.code = QStringLiteral("KMP128");
        r.title = QStringLiteral("Diagnósticos do Paciente");
        for (const QString &p : params)
            r.params.add(p);
        r.generate = [queried](const ReportParams &p) {
            QStringList parts;
            for (int i = 0; i < p.count(); ++i)
                parts << p.name(i) + QLatin1Char('=') + p.valueAt(i).toString();
            *queried = parts.join(QLatin1Char(','));
            return QStringLiteral("<p>%1</p>").arg(*queried);
        };
        return r;
    }

private Q_SLOTS:
    void parametersSetBeforeTheQueryAreUsed_data()
    {
        QTest::addColumn<QStringList>("defined");
        QTest::addColumn<QString>("queried");
        QTest::newRow("both") << QStringList{"P_CDFILIAL", "P_CDPACIENTE"} << "P_CDFILIAL=0001,P_CDPACIENTE=000000000001";
        QTest::newRow("patient only") << QStringList{"P_CDPACIENTE"} << "P_CDPACIENTE=000000000001";
        QTest::newRow("neither") << QStringList{} << "";
    }
    void parametersSetBeforeTheQueryAreUsed()
    {
        QFETCH(QStringList, defined);
        QFETCH(QString, queried);
        QString seen = QStringLiteral("not run");
        TfrmDadosGerRel screen;
        screen.addReport(listing(defined, &seen));
        screen.rpddPadrao->OnBeforeGetQueryParams = [](ReportParams &p, bool &) {
            if (Qrddlgs::ExistParam(p, QStringLiteral("P_CDFILIAL")))
                p.setValue(QStringLiteral("P_CDFILIAL"), QStringLiteral("0001"));
            if (Qrddlgs::ExistParam(p, QStringLiteral("P_CDPACIENTE")))
                p.setValue(QStringLiteral("P_CDPACIENTE"), QStringLiteral("000000000001"));
        };
        ScriptedDialogs script;
        script.then(answers::ok());
        screen.sbtImprimir->click();
        QCOMPARE(seen, queried);
        QCOMPARE(script.seen().size(), 1);
        QCOMPARE(script.seen().at(0).kind, DialogKind::Preview);
        QVERIFY(script.seen().at(0).text.contains(queried));
    }

    void failingQueryIsShownAndTheScreenStays()
    {
        TfrmDadosGerRel screen;
        ReportDefinition r;
        r.code = QStringLiteral("KMP128");
        r.generate = [](const ReportParams &) -> QString { throw kmp::Error(QStringLiteral("Servidor indisponível.")); };
        screen.addReport(r);
        ScopedResponder answer(answers::ok());
        Dialogs::clearLog();
        QVERIFY(!screen.runCurrent());
        QCOMPARE(Dialogs::log().size(), 1);
        QCOMPARE(Dialogs::log().at(0).text, QStringLiteral("Servidor indisponível."));
    }

    void showModalGoesThroughTheDialogService()
    {
        TfrmDadosGerRel screen;
        ScriptedDialogs script;
        script.thenAnswer(QDialog::Rejected);
        QCOMPARE(screen.ShowModal(), int(QDialog::Rejected));
        QCOMPARE(script.seen().size(), 1);
    }
};

QTEST_MAIN(TestDadosGerRel)
#include "tst_dadosgerrel.moc"
