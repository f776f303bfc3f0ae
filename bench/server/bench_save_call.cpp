// One SetDiagPaci insert round trip with its durable commit, against the same insert and
// commit run in-process through QtSql on the same SQLite file (WAL, synchronous=FULL on
// both sides). The database's folder follows TMPDIR: on a RAM disk (TMPDIR=/dev/shm) the
// commit costs next to nothing and the ratio shows the server's own work per save.
//
// Where the time goes, each part measured in the same rounds:
// - store_ms: the save through the store in this process (validation, catalogue lookup,
//   audit row), without the request's bytes;
// - dispatch_ms: the server's whole handling without the connection: the request's bytes
//   decoded, run through the dispatcher on a pool of its own, the answer encoded;
// - loopback_floor_ms: the same frames bounced through a process that does nothing with
//   them, over loopback with blocking sockets;
// - floor_ratio = (store_ms + loopback_floor_ms) / inprocess_ms: what a server doing the
//   store's work and nothing else could reach if waiting cost what the bounce costs.
// remote_ms minus dispatch_ms is the connection's share. It is larger than the bounce
// because the station sleeps through the server's work: where an idle processor halts at
// once (virtual machines without halt polling), waking it for the answer costs about a
// tenth of a millisecond, which a quick bounce never pays.
// Saves here follow each other within a millisecond; a durable commit costs more after a
// pause (on ext4 the log file's inode is written again once its time stamp moved), so a
// clinic's lone saves cost more on both sides than the figures here.

#include "benchserver.h"
#include "cid10import.h"
#include "dbconnection.h"
#include "dbpool.h"
#include "dispatcher.h"
#include "packet.h"
#include "schema.h"
#include "store.h"

#include <QCborArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <memory>

using namespace kmp;

namespace {

// Reads exactly n bytes from a blocking socket; false when the peer went away.
bool readExactly(QTcpSocket &socket, char *into, qint64 n)
{
    qint64 got = 0;
    while (got < n) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(30000))
            return false;
        const qint64 r = socket.read(into + got, n - got);
        if (r < 0)
            return false;
        got += r;
    }
    return true;
}

// The other end of the floor: answers each frame with a frame of the given size, doing
// nothing else, until the connection closes.
int echo(int answerBytes)
{
    QTcpServer listener;
    if (!listener.listen(QHostAddress::LocalHost, 0))
        return 1;
    std::printf("%d\n", listener.serverPort());
    std::fflush(stdout);
    if (!listener.waitForNewConnection(30000))
        return 1;
    std::unique_ptr<QTcpSocket> socket(listener.nextPendingConnection());
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QByteArray answer(answerBytes, 'a');
    QByteArray body;
    char head[4];
    while (readExactly(*socket, head, 4)) {
        body.resize(qFromBigEndian<quint32>(head));
        if (!readExactly(*socket, body.data(), body.size()))
            break;
        socket->write(answer);
        while (socket->bytesToWrite() > 0)
            if (!socket->waitForBytesWritten(30000))
                return 0;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A remote save against the same insert and durable commit in-process."));
    parser.addHelpOption();
    const QCommandLineOption roundsOpt(QStringLiteral("rounds"), QStringLiteral("Saves measured on each side (default 60)."),
                                       QStringLiteral("N"), QStringLiteral("60"));
    parser.addOption(roundsOpt);
    QCommandLineOption echoOpt(QStringLiteral("echo"), QStringLiteral("Internal: the other end of the loopback floor."),
                               QStringLiteral("bytes"));
    echoOpt.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(echoOpt);
    parser.process(app);
    if (parser.isSet(echoOpt))
        return echo(parser.value(echoOpt).toInt());
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
    const QString dispatchPatient = QStringLiteral("000000000004");
    // The store's own share: the same save through Store::applyDelta in this process
    // (validation, catalogue lookup, audit row), without the connection and the framing.
    server::Store store(local);
    // The server's own handling without the connection: the request's bytes decoded, run
    // through the dispatcher on a pool of its own, and the answer encoded, in this process.
    server::DbPool pool(config, 2);
    server::Dispatcher dispatcher([]() -> server::Store & { return server::DbPool::currentStore(); });
    // And the bare round trip: a read that finds nothing, through the same connection.
    const wire::Request probe = bench::request(
        QStringLiteral("GetVD_Diag"), {QStringLiteral("0001"), QStringLiteral("000000000009"), QStringLiteral("R0000"), date});
    // The floor: a save's request and answer frames, bounced in each round through a
    // process that does nothing with them.
    const QByteArray saveFrame = wire::frame(wire::encodeRequest(
        bench::request(QStringLiteral("SetDiagPaci"), {QCborValue(encodeDelta([&]() {
                           Delta d;
                           d.fields = server::tables::diagPaci().fieldDefs();
                           d.changes.push_back({ChangeKind::Insert, {}, row(QStringLiteral("R9999"), 9999, remotePatient)});
                           return d;
                       }()))})));
    const int answerBytes = int(wire::frame(wire::encodeResponse(wire::Response::success(1, QCborValue()))).size());
    QProcess echoer;
    echoer.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--echo"), QString::number(answerBytes)});
    QTcpSocket bounce;
    if (echoer.waitForReadyRead(30000))
        bounce.connectToHost(QHostAddress::LocalHost, quint16(echoer.readLine().trimmed().toUInt()));
    if (!bounce.waitForConnected(5000)) {
        std::fprintf(stderr, "the loopback floor could not be measured: %s\n", qPrintable(bounce.errorString()));
        return 1;
    }
    bounce.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QByteArray back(answerBytes, '\0');
    std::vector<double> floorMs;
    std::vector<double> remoteMs, localMs, storeMs, dispatchMs, tripMs;
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

        Delta g;
        g.fields = server::tables::diagPaci().fieldDefs();
        g.changes.push_back(
            {ChangeKind::Insert, {}, row(QStringLiteral("R%1").arg(i, 4, 10, QLatin1Char('0')), i + 1, dispatchPatient)});
        const QByteArray body = wire::encodeRequest(bench::request(QStringLiteral("SetDiagPaci"), {QCborValue(encodeDelta(g))}));
        t.restart();
        {
            const wire::Request request = wire::decodeRequest(body);
            wire::Response response;
            pool.run(server::DbPool::Access::Write, [&]() { response = dispatcher.handle(request); });
            if (!response.ok || wire::frame(wire::encodeResponse(response)).isEmpty()) {
                std::fprintf(stderr, "in-process dispatch failed: %s\n", qPrintable(response.errorMessage));
                return 1;
            }
        }
        const double dispatched = t.nsecsElapsed() / 1e6;
        t.restart();
        bench::callOrDie(client, probe);
        const double trip = t.nsecsElapsed() / 1e6;
        t.restart();
        bounce.write(saveFrame);
        while (bounce.bytesToWrite() > 0 && bounce.waitForBytesWritten(30000)) {
        }
        if (!readExactly(bounce, back.data(), back.size())) {
            std::fprintf(stderr, "the loopback floor's other end went away\n");
            return 1;
        }
        const double bounced = t.nsecsElapsed() / 1e6;
        if (i >= 3) {
            tripMs.push_back(trip);
            floorMs.push_back(bounced);
            remoteMs.push_back(remote);
            localMs.push_back(inProcess);
            storeMs.push_back(inStore);
            dispatchMs.push_back(dispatched);
        }
    }
    bounce.close();
    echoer.waitForFinished(5000);
    const double floor = bench::median(floorMs);
    const double remote = bench::median(remoteMs), inProcess = bench::median(localMs), inStore = bench::median(storeMs);
    std::printf(
        "BENCH save-call rounds=%d remote_ms=%.3f inprocess_ms=%.3f store_ms=%.3f dispatch_ms=%.3f roundtrip_ms=%.3f ratio=%.2f "
        "store_ratio=%.2f loopback_floor_ms=%.3f floor_ratio=%.2f goal=1.3\n",
        rounds, remote, inProcess, inStore, bench::median(dispatchMs), bench::median(tripMs), remote / inProcess,
        inStore / inProcess, floor, (inStore + floor) / inProcess);
    return 0;
}
