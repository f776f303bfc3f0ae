// Sixteen clients at once for a while (--seconds, default 10): 80% loads (GetDiagPaci,
// GetHistGer), 20% saves (SetDiagPaci, each client inserting and deleting its own row so
// the lists keep their size). Operations per second and latency for SQLite, and for
// PostgreSQL when KMP_TEST_PGURL is set, with the ratio of the two throughputs; the
// saves' own latency (p50, p99, the slowest) and the ratio p99/p50 of the saves, which
// shows whether saves queue behind each other (goal: SQLite p99 at most 10 ms, no save
// over 100 ms).

#include "dbconnection.h"
#include "demodata.h"
#include "loadmix.h"
#include "packet.h"
#include "schema.h"

#include <QCborArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

using namespace kmp;

namespace {

using Result = bench::LoadResult;

Result runLoad(const QString &database, int clients, double seconds)
{
    {
        server::DbConnection db(server::DatabaseConfig::parse(database));
        server::loadDemo(db);
    }
    bench::ServerProcess server(database);
    return bench::runLoadMix(clients, seconds, [&server](wire::Client &c) {
        c.setEndpoint(QStringLiteral("127.0.0.1"), server.port());
        c.setTimeouts(5000, 30000);
    });
}

// One durable commit of a one-row insert in-process on the same kind of database, the
// floor under any save's latency: a save that arrives while another is being committed
// waits for that commit and then its own, so a save's p99 cannot go much below twice the
// commit's p99 (the disk's flush time, which varies most on a shared machine).
struct Commit
{
    double p50 = 0;
    double p99 = 0;
};

Commit commitMs(const QString &database)
{
    server::DbConnection db(server::DatabaseConfig::parse(database));
    std::vector<double> ms;
    for (int i = 0; i < 100; ++i) {
        QElapsedTimer t;
        t.start();
        server::Transaction tx(db);
        QSqlQuery q = db.prepare(QStringLiteral("INSERT INTO DIAGPACI (CDFILIAL, CDPACIENTE, DTCONSPACI, CDDIAGNOST, "
                                                "NRSEQUENCIA) VALUES (?, ?, ?, ?, ?)"));
        q.addBindValue(QStringLiteral("0001"));
        q.addBindValue(QStringLiteral("999999999999"));
        q.addBindValue(46363.0);
        q.addBindValue(QStringLiteral("C%1").arg(i));
        q.addBindValue(double(i + 1));
        db.exec(q);
        q = QSqlQuery();
        tx.commit();
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    return {bench::median(ms), bench::percentile(ms, 0.99)};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Throughput and latency of kmp-appserver under 16 concurrent clients."));
    parser.addHelpOption();
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"), QStringLiteral("Duration per database (default 10)."),
                                        QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption clientsOpt(QStringLiteral("clients"), QStringLiteral("Concurrent clients (default 16)."),
                                        QStringLiteral("N"), QStringLiteral("16"));
    parser.addOptions({secondsOpt, clientsOpt});
    parser.process(app);
    const double seconds = std::max(0.5, parser.value(secondsOpt).toDouble());
    const int clients = std::max(1, parser.value(clientsOpt).toInt());

    QTemporaryDir dir;
    const QString sqliteDatabase = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("load.db"));
    const Result sqlite = runLoad(sqliteDatabase, clients, seconds);
    const Commit sqliteCommit = commitMs(sqliteDatabase);
    const auto saves = [](const char *prefix, const Result &r) {
        return QStringLiteral(" %1_save_p50_ms=%2 %1_save_p99_ms=%3 %1_save_max_ms=%4 %1_save_p99/p50=%5 %1_saves=%6")
            .arg(QLatin1String(prefix))
            .arg(r.saveP50, 0, 'f', 2)
            .arg(r.saveP99, 0, 'f', 2)
            .arg(r.saveMax, 0, 'f', 1)
            .arg(r.saveP50 > 0 ? r.saveP99 / r.saveP50 : 0.0, 0, 'f', 1)
            .arg(r.saves);
    };
    QString line = QStringLiteral("BENCH server-load clients=%1 seconds=%2 sqlite_ops=%3 sqlite_p50_ms=%4 sqlite_p99_ms=%5 "
                                  "sqlite_errors=%6")
                       .arg(clients)
                       .arg(seconds)
                       .arg(sqlite.opsPerSecond, 0, 'f', 0)
                       .arg(sqlite.p50, 0, 'f', 2)
                       .arg(sqlite.p99, 0, 'f', 2)
                       .arg(sqlite.errors)
                   + saves("sqlite", sqlite)
                   + QStringLiteral(" sqlite_commit_ms=%1 sqlite_commit_p99_ms=%2 sqlite_save_p99/commit=%3")
                         .arg(sqliteCommit.p50, 0, 'f', 2)
                         .arg(sqliteCommit.p99, 0, 'f', 2)
                         .arg(sqliteCommit.p50 > 0 ? sqlite.saveP99 / sqliteCommit.p50 : 0.0, 0, 'f', 1);
    const QString url = qEnvironmentVariable("KMP_TEST_PGURL");
    if (url.isEmpty()) {
        line += QStringLiteral(" postgresql=skipped(KMP_TEST_PGURL not set) ratio=n/a");
    } else {
        const QString schema = QStringLiteral("kmp_bench_%1").arg(QCoreApplication::applicationPid());
        const QString database =
            url + (url.contains(QLatin1Char('?')) ? QStringLiteral("&schema=") : QStringLiteral("?schema=")) + schema;
        const Result pg = runLoad(database, clients, seconds);
        {
            server::DbConnection db(server::DatabaseConfig::parse(database));
            db.execDirect(QStringLiteral("DROP SCHEMA IF EXISTS \"%1\" CASCADE").arg(schema));
        }
        line += QStringLiteral(" pg_ops=%1 pg_p50_ms=%2 pg_p99_ms=%3 pg_errors=%4 ratio=%5")
                    .arg(pg.opsPerSecond, 0, 'f', 0)
                    .arg(pg.p50, 0, 'f', 2)
                    .arg(pg.p99, 0, 'f', 2)
                    .arg(pg.errors)
                    .arg(pg.opsPerSecond / sqlite.opsPerSecond, 0, 'f', 2)
                + saves("pg", pg);
    }
    std::printf("%s\n", qPrintable(line));
    return 0;
}
