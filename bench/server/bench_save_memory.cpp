// The server's peak memory for one large section save (--mib, default 40), as a multiple
// of the section's size: the resident set before the save against the high-water mark
// after it, for SQLite and, when KMP_TEST_PGURL is set, PostgreSQL. Goal: about 3.

#include "benchserver.h"
#include "dbconnection.h"
#include "packet.h"
#include "schema.h"

#include <QCborArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTemporaryDir>

using namespace kmp;

namespace {

double peakRatio(const QString &database, qint64 bytes)
{
    {
        server::DbConnection db(server::DatabaseConfig::parse(database));
        server::ensureSchema(db); // a server serves only a PostgreSQL schema that has its tables
    }
    bench::ServerProcess server(database);
    wire::Client client;
    client.setEndpoint(QStringLiteral("127.0.0.1"), server.port());
    client.setTimeouts(5000, 300000);
    bench::callOrDie(client, bench::request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")}));
    Delta d;
    d.fields = server::tables::histDoen().fieldDefs();
    QByteArray text("{\\rtf1\\ansi ");
    text += QByteArray(bytes - text.size() - 1, 'a');
    text += '}';
    d.changes.push_back({ChangeKind::Insert, {}, {QStringLiteral("000000000001"), 46363.0, text, QStringLiteral("0001")}});
    const wire::Request save = bench::request(QStringLiteral("SetHistDoen"), {QCborValue(encodeDelta(d))});
    text.clear();
    d = Delta();
    const qint64 before = server.statusKb("VmRSS:");
    bench::callOrDie(client, save);
    const qint64 peak = server.statusKb("VmHWM:");
    return double(peak - before) * 1024.0 / double(bytes);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Peak memory of kmp-appserver for one large section save."));
    parser.addHelpOption();
    const QCommandLineOption mibOpt(QStringLiteral("mib"), QStringLiteral("Section size in MiB (default 40)."),
                                    QStringLiteral("N"), QStringLiteral("40"));
    parser.addOption(mibOpt);
    parser.process(app);
    const qint64 bytes = std::max(1, parser.value(mibOpt).toInt()) * qint64(1024 * 1024);
    QTemporaryDir dir;
    const double sqlite = peakRatio(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("memory.db")), bytes);
    QString line =
        QStringLiteral("BENCH save-memory size_mib=%1 sqlite_peak_ratio=%2").arg(bytes / (1024 * 1024)).arg(sqlite, 0, 'f', 2);
    const QString url = qEnvironmentVariable("KMP_TEST_PGURL");
    if (url.isEmpty()) {
        line += QStringLiteral(" postgresql=skipped(KMP_TEST_PGURL not set)");
    } else {
        const QString schema = QStringLiteral("kmp_bench_mem_%1").arg(QCoreApplication::applicationPid());
        const QString database =
            url + (url.contains(QLatin1Char('?')) ? QStringLiteral("&schema=") : QStringLiteral("?schema=")) + schema;
        const double pg = peakRatio(database, bytes);
        {
            server::DbConnection db(server::DatabaseConfig::parse(database));
            db.execDirect(QStringLiteral("DROP SCHEMA IF EXISTS \"%1\" CASCADE").arg(schema));
        }
        line += QStringLiteral(" pg_peak_ratio=%1").arg(pg, 0, 'f', 2);
    }
    line += QStringLiteral(" goal=3");
    std::printf("%s\n", qPrintable(line));
    return 0;
}
