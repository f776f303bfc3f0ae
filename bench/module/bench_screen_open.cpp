// From the entry call to the screen shown with its three lists loaded, over the full
// catalogue, against the three loading queries run in-process on the same database.
#include "context.h"
#include "entry.h"
#include "recordset.h"
#include "serverfixture.h"
#include "tfrmdiagpaci.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cstdio>
#include <string>

namespace {

double inProcessLoads(const QString &file)
{
    QSqlDatabase db = QSqlDatabase::database(QStringLiteral("direct"));
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("direct"));
        db.setDatabaseName(file);
        db.open();
    }
    QElapsedTimer t;
    t.start();
    const char *queries[] = {
        "SELECT CDDIAGNOST, NMDIAGNOST, CDTABECDI, DSABREDIAG FROM DIAGNOST ORDER BY CDDIAGNOST",
        "SELECT CDFILIAL, CDPACIENTE, DTCONSPACI, CDDIAGNOST, NMDIAGNOST, NRSEQUENCIA, CDTABECDI FROM DIAGPACI "
        "WHERE CDFILIAL = '0001' AND CDPACIENTE = '000000000001' AND DTCONSPACI = 46363 ORDER BY NRSEQUENCIA",
        "SELECT CDDIAGNOST, NMDIAGNOST FROM DIAGASSO WHERE CDFILIAL = '0001' AND CDPACIENTE = '000000000001' "
        "AND DTCONSPACI = 46363",
    };
    size_t bytes = 0;
    for (const char *sql : queries) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.exec(QLatin1String(sql));
        while (q.next())
            for (int i = 0; i < q.record().count(); ++i)
                bytes += q.value(i).toString().toStdString().size();
    }
    const double ms = t.nsecsElapsed() / 1e6;
    return bytes ? ms : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ScreenHarness server;
    QString why;
    if (!server.startWithCatalogue(&why)) {
        std::fprintf(stderr, "bench screen-open: %s\n", qPrintable(why));
        return 1;
    }
    std::vector<double> opens, direct;
    int catalogue = 0;
    for (int i = 0; i < 21; ++i) {
        QElapsedTimer t;
        t.start();
        IniProc(QVariant(
            QVariantList{QStringLiteral("0001"), QStringLiteral("000000000001"), QStringLiteral("Maria da Silva"), 46363.0}));
        QApplication::processEvents();
        const double ms = t.nsecsElapsed() / 1e6;
        catalogue = frmDiagPaci->cdsDiagnost->recordCount();
        frmDiagPaci->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QApplication::processEvents();
        direct.push_back(inProcessLoads(server.databaseFile()));
        if (i > 0) // the first open pays for loading libraries and fonts
            opens.push_back(ms);
    }
    const double median = medianOf(opens);
    const double worst = *std::max_element(opens.begin(), opens.end());
    const double base = medianOf(direct);
    std::printf("BENCH screen-open opens=%zu catalogue_rows=%d median_ms=%.1f worst_ms=%.1f inprocess_ms=%.1f ratio=%.2f\n",
                opens.size(), catalogue, median, worst, base, median / base);
    return 0;
}
