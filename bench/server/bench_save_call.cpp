// One SetDiagPaci insert round trip with its durable commit, against the same insert and
// commit run in-process through QtSql on the same SQLite file (WAL, synchronous=FULL on
// both sides).

#include "benchserver.h"
#include "cid10import.h"
#include "dbconnection.h"
#include "packet.h"
#include "schema.h"

#include <QCborArray>
#include <QCoreApplication>
#include <QTemporaryDir>

using namespace kmp;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString database = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("save.db"));
    const auto config = server::DatabaseConfig::parse(database);
    server::DbConnection local(config);
    server::ensureSchema(local);
    // Saves keep only catalogue codes: the codes the rounds insert are put in it first.
    {
        std::vector<server::Cid10Entry> entries;
        for (int i = 0; i < 70; ++i)
            for (const char *side : {"R", "L"}) {
                const QString code = QStringLiteral("%1%2").arg(QLatin1String(side)).arg(i, 3, 10, QLatin1Char('0'));
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
        return RowValues{QStringLiteral("0001"), paciente, date, code,
                         QStringLiteral("Diagnóstico de teste"), double(seq), QStringLiteral("CID10")};
    };
    const QString remotePatient = QStringLiteral("000000000001");
    const QString localPatient = QStringLiteral("000000000002");
    const int rounds = 60;
    std::vector<double> remoteMs, localMs;
    for (int i = 0; i < rounds + 3; ++i) {
        Delta d;
        d.fields = server::tables::diagPaci().fieldDefs();
        d.changes.push_back({ChangeKind::Insert, {}, row(QStringLiteral("R%1").arg(i, 3, 10, QLatin1Char('0')), i + 1, remotePatient)});
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
            for (const QVariant &v : row(QStringLiteral("L%1").arg(i, 3, 10, QLatin1Char('0')), i + 1, localPatient))
                q.addBindValue(v);
            local.exec(q);
            q = QSqlQuery();
            tx.commit();
        }
        const double inProcess = t.nsecsElapsed() / 1e6;
        if (i >= 3) {
            remoteMs.push_back(remote);
            localMs.push_back(inProcess);
        }
    }
    const double remote = bench::median(remoteMs), inProcess = bench::median(localMs);
    std::printf("BENCH save-call rounds=%d remote_ms=%.3f inprocess_ms=%.3f ratio=%.2f\n", rounds, remote, inProcess,
                remote / inProcess);
    return 0;
}
