// The diagnosis listing for a patient with 200 consultations of 5 diagnoses each, from the
// print command to the PDF written, against the report's query run in-process.
#include "context.h"
#include "serverfixture.h"
#include "tfrmlistdiagpaci.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ScreenHarness server;
    QString why;
    if (!server.startWithCatalogue(&why)) {
        std::fprintf(stderr, "bench report: %s\n", qPrintable(why));
        return 1;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
        db.setDatabaseName(server.databaseFile());
        db.open();
        db.transaction();
        QSqlQuery q(db);
        q.prepare(QStringLiteral(
            "INSERT INTO DIAGPACI (CDFILIAL, CDPACIENTE, DTCONSPACI, CDDIAGNOST, NMDIAGNOST, NRSEQUENCIA, CDTABECDI) "
            "SELECT '0001', 'RELATORIO', ?, CDDIAGNOST, NMDIAGNOST, ?, 'CID10' FROM DIAGNOST "
            "ORDER BY CDDIAGNOST LIMIT 1 OFFSET ?"));
        for (int c = 0; c < 200; ++c)
            for (int d = 0; d < 5; ++d) {
                q.bindValue(0, 46000.0 + c);
                q.bindValue(1, double(d + 1));
                q.bindValue(2, c * 5 + d);
                q.exec();
            }
        db.commit();
    }
    stCdFilial = QStringLiteral("0001");
    stCdPaciente = QStringLiteral("RELATORIO");
    QTemporaryDir dir;
    std::vector<double> printed, direct;
    for (int i = 0; i < 6; ++i) {
        const QString pdf = dir.filePath(QStringLiteral("r%1.pdf").arg(i));
        QElapsedTimer t;
        t.start();
        TfrmListDiagPaci screen;
        screen.initialize();
        screen.exportPdf(pdf);
        const double ms = t.nsecsElapsed() / 1e6;
        if (!QFileInfo(pdf).isFile()) {
            std::fprintf(stderr, "bench report: no PDF written\n");
            return 1;
        }
        if (i > 0)
            printed.push_back(ms);

        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("fill"));
        t.restart();
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.exec(QStringLiteral("SELECT d.DTCONSPACI, d.NRSEQUENCIA, d.CDDIAGNOST, d.NMDIAGNOST, f.NMFILIAL, p.NMPACIENTE "
                              "FROM DIAGPACI d LEFT JOIN FILIAL f ON f.CDFILIAL = d.CDFILIAL LEFT JOIN PACIENTE p "
                              "ON p.CDPACIENTE = d.CDPACIENTE WHERE d.CDFILIAL = '0001' AND d.CDPACIENTE = 'RELATORIO' "
                              "ORDER BY d.DTCONSPACI, d.NRSEQUENCIA"));
        int rows = 0;
        while (q.next())
            rows += q.value(2).toString().isEmpty() ? 0 : 1;
        direct.push_back(t.nsecsElapsed() / 1e6);
        if (rows != 1000) {
            std::fprintf(stderr, "bench report: %d rows instead of 1000\n", rows);
            return 1;
        }
    }
    const double m = medianOf(printed), base = medianOf(direct);
    std::printf("BENCH report rows=1000 print_to_pdf_ms=%.0f query_inprocess_ms=%.2f ratio=%.1f\n", m, base, m / base);
    return 0;
}
