// GetDiagnost of the whole imported catalogue, end to end (call, transfer, decode, load
// into a record set), against the same SELECT run in-process through QtSql on the same
// SQLite file.

#include "benchserver.h"
#include "cid10import.h"
#include "dbconnection.h"
#include "recordset.h"
#include "schema.h"
#include "store.h"

#include <QCoreApplication>
#include <QSqlQuery>
#include <QTemporaryDir>

using namespace kmp;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString dataDir = qEnvironmentVariable("KMP_SHARED_DATA", QStringLiteral(KMP_SHARED_DATA_DIR));
    QTemporaryDir dir;
    const QString database = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("catalogue.db"));
    const auto config = server::DatabaseConfig::parse(database);
    size_t expected = 0;
    {
        server::DbConnection db(config);
        server::ensureSchema(db);
        expected = size_t(server::importCid10(db, server::readCid10Folder(dataDir + QStringLiteral("/cid10"))).imported);
    }
    bench::ServerProcess server(database);
    wire::Client client;
    client.setEndpoint(QStringLiteral("127.0.0.1"), server.port());
    client.setTimeouts(5000, 60000);

    server::DbConnection local(config);
    const int rounds = 15;
    server::Store store(local);
    std::vector<double> remoteMs, localMs, serverSideMs, clientSideMs;
    size_t bytes = 0;
    for (int i = 0; i < rounds + 2; ++i) {
        QElapsedTimer t;
        t.start();
        const wire::Response r = bench::callOrDie(client, bench::request(QStringLiteral("GetDiagnost"), {}));
        RecordSet set;
        set.loadFromPacket(r.result.toByteArray());
        const double remote = t.nsecsElapsed() / 1e6;
        if (size_t(set.recordCount()) != expected) {
            std::fprintf(stderr, "catalogue has %d rows, expected %zu\n", set.recordCount(), expected);
            return 1;
        }
        bytes = size_t(r.result.toByteArray().size());

        t.restart();
        QSqlQuery q = local.prepare(QStringLiteral("SELECT CDDIAGNOST, NMDIAGNOST, CDTABECDI, DSABREDIAG FROM DIAGNOST "
                                                   "ORDER BY CDDIAGNOST"));
        local.exec(q);
        std::vector<RowValues> rows;
        while (q.next())
            rows.push_back({q.value(0), q.value(1), q.value(2), q.value(3)});
        const double inProcess = t.nsecsElapsed() / 1e6;
        if (rows.size() != expected)
            return 1;
        // Where the difference goes: the server's own work, and the client's decode and load.
        t.restart();
        const QByteArray packet = store.diagnost();
        const double serverSide = t.nsecsElapsed() / 1e6;
        t.restart();
        RecordSet again;
        again.loadFromPacket(packet);
        const double clientSide = t.nsecsElapsed() / 1e6;
        if (i >= 2) { // the first two warm caches on both sides
            remoteMs.push_back(remote);
            localMs.push_back(inProcess);
            serverSideMs.push_back(serverSide);
            clientSideMs.push_back(clientSide);
        }
    }
    const double remote = bench::median(remoteMs), inProcess = bench::median(localMs);
    std::printf("BENCH catalogue-call rows=%zu packet_kb=%.0f remote_ms=%.2f inprocess_ms=%.2f server_side_ms=%.2f "
                "client_decode_load_ms=%.2f ratio=%.2f\n",
                expected, bytes / 1024.0, remote, inProcess, bench::median(serverSideMs), bench::median(clientSideMs),
                remote / inProcess);
    return 0;
}
