// Sixteen clients at once for a while (--seconds, default 10): 80% loads (GetDiagPaci,
// GetHistGer), 20% saves (SetDiagPaci, each client inserting and deleting its own row so
// the lists keep their size). Operations per second and latency for SQLite, and for
// PostgreSQL when KMP_TEST_PGURL is set, with the ratio of the two throughputs.

#include "benchserver.h"
#include "dbconnection.h"
#include "demodata.h"
#include "packet.h"
#include "schema.h"

#include <QCborArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTemporaryDir>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

using namespace kmp;

namespace {

struct Result
{
    double opsPerSecond = 0;
    double p50 = 0;
    double p99 = 0;
    quint64 errors = 0;
};

Result runLoad(const QString &spec, int clients, double seconds)
{
    {
        server::DbConnection db(server::DatabaseConfig::parse(spec));
        server::loadDemo(db);
    }
    bench::ServerProcess server(spec);
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<double> latencies;
    std::atomic<quint64> errors{0};
    const double date = server::demoConsulta();

    const auto client = [&](int n) {
        wire::Client c;
        c.setEndpoint(QStringLiteral("127.0.0.1"), server.port());
        c.setTimeouts(5000, 30000);
        std::mt19937 random(unsigned(n) * 7919u + 1u);
        const QString paciente = QStringLiteral("%1").arg(n + 100, 12, 10, QLatin1Char('0'));
        const RowValues row{QStringLiteral("0001"), paciente, date, QStringLiteral("I10"),
                            QStringLiteral("Hipertensão essencial (primária)"), 1.0, QStringLiteral("CID10")};
        bool present = false;
        std::vector<double> mine;
        while (!stop.load()) {
            const int dice = int(random() % 10);
            wire::Request r;
            if (dice < 2) {
                Delta d;
                d.fields = server::tables::diagPaci().fieldDefs();
                d.changes.push_back(present ? Change{ChangeKind::Delete, row, {}} : Change{ChangeKind::Insert, {}, row});
                r = bench::request(QStringLiteral("SetDiagPaci"), {QCborValue(encodeDelta(d))});
            } else if (dice < 6) {
                r = bench::request(QStringLiteral("GetDiagPaci"), {QStringLiteral("0001"), paciente, date});
            } else {
                r = bench::request(QStringLiteral("GetHistGer"), {paciente, QStringLiteral("0001"), date});
            }
            QElapsedTimer t;
            t.start();
            try {
                const wire::Response resp = c.call(r);
                if (!resp.ok)
                    ++errors;
                else if (dice < 2)
                    present = !present;
            } catch (const std::exception &) {
                ++errors;
            }
            mine.push_back(t.nsecsElapsed() / 1e6);
        }
        std::lock_guard<std::mutex> g(lock);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
    };

    std::vector<std::thread> threads;
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(client, i);
    std::this_thread::sleep_for(std::chrono::milliseconds(qint64(seconds * 1000)));
    stop = true;
    for (auto &t : threads)
        t.join();
    const double elapsed = wall.nsecsElapsed() / 1e9;
    Result res;
    res.opsPerSecond = double(latencies.size()) / elapsed;
    res.p50 = bench::percentile(latencies, 0.50);
    res.p99 = bench::percentile(latencies, 0.99);
    res.errors = errors.load();
    return res;
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
    const Result sqlite = runLoad(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("load.db")), clients, seconds);
    QString line = QStringLiteral("BENCH server-load clients=%1 seconds=%2 sqlite_ops=%3 sqlite_p50_ms=%4 sqlite_p99_ms=%5 "
                                  "sqlite_errors=%6")
                       .arg(clients)
                       .arg(seconds)
                       .arg(sqlite.opsPerSecond, 0, 'f', 0)
                       .arg(sqlite.p50, 0, 'f', 2)
                       .arg(sqlite.p99, 0, 'f', 2)
                       .arg(sqlite.errors);
    const QString url = qEnvironmentVariable("KMP_TEST_PGURL");
    if (url.isEmpty()) {
        line += QStringLiteral(" postgresql=skipped(KMP_TEST_PGURL not set) ratio=n/a");
    } else {
        const QString schema = QStringLiteral("kmp_bench_%1").arg(QCoreApplication::applicationPid());
        const QString spec = url + (url.contains(QLatin1Char('?')) ? QStringLiteral("&schema=") : QStringLiteral("?schema=")) + schema;
        const Result pg = runLoad(spec, clients, seconds);
        {
            server::DbConnection db(server::DatabaseConfig::parse(spec));
            db.execDirect(QStringLiteral("DROP SCHEMA IF EXISTS \"%1\" CASCADE").arg(schema));
        }
        line += QStringLiteral(" pg_ops=%1 pg_p50_ms=%2 pg_p99_ms=%3 pg_errors=%4 ratio=%5")
                    .arg(pg.opsPerSecond, 0, 'f', 0)
                    .arg(pg.p50, 0, 'f', 2)
                    .arg(pg.p99, 0, 'f', 2)
                    .arg(pg.errors)
                    .arg(pg.opsPerSecond / sqlite.opsPerSecond, 0, 'f', 2);
    }
    std::printf("%s\n", qPrintable(line));
    return 0;
}
