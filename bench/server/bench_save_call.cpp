// One SetDiagPaci insert round trip with its durable commit, against the same insert and
// commit run in-process through QtSql on the same SQLite file (WAL, synchronous=FULL on
// both sides). The database's folder follows TMPDIR: on a RAM disk (TMPDIR=/dev/shm) the
// commit costs next to nothing and the ratio shows the server's own work per save.

#include "benchserver.h"
#include "cid10import.h"
#include "dbconnection.h"
#include "packet.h"
#include "schema.h"
#include "store.h"

#include <QCborArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTemporaryDir>

using namespace kmp;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A remote save against the same insert and durable commit in-process."));
    parser.addHelpOption();
    const QCommandLineOption roundsOpt(QStringLiteral("rounds"), QStringLiteral("Saves measured on each side (default 60)."),
                                       QStringLiteral("N"), QStringLiteral("60"));
    parser.addOption(roundsOpt);
    parser.process(app);
    const int rounds = std::clamp(parser.value(roundsOpt).toInt(), 1, 9999);
    QTemporaryDir dir;
    const QString database = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("save.db"));
    const auto config = server::DatabaseConfig::parse(database);
    server::DbConnection local(config);
    server::ensureSchema(local);
    // Saves keep only catalogue codes: the codes the rounds insert are put in it first.
    {
        std::vector<server::Cid10Entry> entries;
        for (int i = 0; i < rounds + 3; ++i)
            for (const char *side : {"R", "L"}) {
                const QString code = QStringLiteral("%1%2").arg(QLatin1String(side)).arg(i, 4, 10, QLatin1Char('0'));
                entries.push_back({code, QStringLiteral("Diagnóstico de teste"), code});
            }
        server::importCid10(local, entries);
    }
    bench::ServerProcess server(database);
    wire::Client client;
    client.setEndpoint(QStringLiteral("127.0.0.1"), server.port());
    client.setTimeouts(5000, 30000);

    const double date = 46363;
    // The two sides write to consultations of their own: a consultation's order numbers
    // are unique.
    const auto row = [&](const QString &code, int seq, const QString &paciente) {
        return RowValues{QStringLiteral("0001"), paciente, date, code, QStringLiteral("Diagnóstico de teste"), double(seq),
                         QStringLiteral("CID10")};
    };
    const QString remotePatient = QStringLiteral("000000000001");
    const QString localPatient = QStringLiteral("000000000002");
    const QString storePatient = QStringLiteral("000000000003");
    // The store's own share: the same save through Store::applyDelta in this process
    // (validation, catalogue lookup, audit row), without the connection and the framing.
    server::Store store(local);
    // And the bare round trip: a read that finds nothing, through the same connection.
    const wire::Request probe = bench::request(
        QStringLiteral("GetVD_Diag"), {QStringLiteral("0001"), QStringLiteral("000000000009"), QStringLiteral("R0000"), date});
    std::vector<double> remoteMs, localMs, storeMs, tripMs;
    for (int i = 0; i < rounds + 3; ++i) {
        Delta d;
        d.fields = server::tables::diagPaci().fieldDefs();
        d.changes.push_back(
            {ChangeKind::Insert, {}, row(QStringLiteral("R%1").arg(i, 4, 10, QLatin1Char('0')), i + 1, remotePatient)});
        QElapsedTimer t;
        t.start();
        bench::callOrDie(client, bench::request(QStringLiteral("SetDiagPaci"), {QCborValue(encodeDelta(d))}));
        const double remote = t.nsecsElapsed() / 1e6;

        t.restart();
        {
            server::Transaction tx(local);
            QSqlQuery q = local.prepare(QStringLiteral(
                "INSERT INTO DIAGPACI (CDFILIAL, CDPACIENTE, DTCONSPACI, CDDIAGNOST, NMDIAGNOST, NRSEQUENCIA, CDTABECDI) "
                "VALUES (?, ?, ?, ?, ?, ?, ?)"));
            for (const QVariant &v : row(QStringLiteral("L%1").arg(i, 4, 10, QLatin1Char('0')), i + 1, localPatient))
                q.addBindValue(v);
            local.exec(q);
            q = QSqlQuery();
            tx.commit();
        }
        const double inProcess = t.nsecsElapsed() / 1e6;

        Delta s;
        s.fields = server::tables::diagPaci().fieldDefs();
        s.changes.push_back(
            {ChangeKind::Insert, {}, row(QStringLiteral("R%1").arg(i, 4, 10, QLatin1Char('0')), i + 1, storePatient)});
        t.restart();
        store.applyDelta(server::tables::diagPaci(), s, QStringLiteral("duplicado"));
        const double inStore = t.nsecsElapsed() / 1e6;
        t.restart();
        bench::callOrDie(client, probe);
        const double trip = t.nsecsElapsed() / 1e6;
        if (i >= 3) {
            tripMs.push_back(trip);
            remoteMs.push_back(remote);
            localMs.push_back(inProcess);
            storeMs.push_back(inStore);
        }
    }
    const double remote = bench::median(remoteMs), inProcess = bench::median(localMs), inStore = bench::median(storeMs);
    std::printf("BENCH save-call rounds=%d remote_ms=%.3f inprocess_ms=%.3f store_ms=%.3f roundtrip_ms=%.3f ratio=%.2f "
                "store_ratio=%.2f goal=1.3\n",
                rounds, remote, inProcess, inStore, bench::median(tripMs), remote / inProcess, inStore / inProcess);
    return 0;
}
