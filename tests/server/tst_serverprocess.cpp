// The real kmp-appserver process over TCP: every method end to end, hostile input,
// two clinicians saving the same diagnosis at once, the client's transport failures, and
// the command-line tools (kmp-call, import-cid10, demo).

#include "client.h"
#include "democatalogue.h"
#include "dispatcher.h"
#include "frame.h"
#include "message.h"
#include "packet.h"
#include "schema.h"
#include "serverharness.h"
#include "shareddata.h"
#include "testdatabase.h"

#include <QCborArray>
#include <QCborMap>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QtEndian>
#include <csignal>
#include <future>
#include <latch>
#include <thread>

using namespace kmp;
using namespace kmp::server;

namespace {

// Whether every thread of the process is stopped (state T in /proc), waiting up to 5 s.
bool waitUntilStopped(qint64 pid)
{
    QElapsedTimer waited;
    waited.start();
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    while (waited.elapsed() < 5000) {
        bool all = true;
        const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &id : ids) {
            QFile stat(tasks.filePath(id + QStringLiteral("/stat")));
            if (!stat.open(QIODevice::ReadOnly))
                continue; // the thread ended
            const QByteArray line = stat.readAll();
            // The state follows the command name in parentheses, which may hold spaces.
            const qsizetype close = line.lastIndexOf(')');
            if (close < 0 || close + 2 >= line.size() || (line.at(close + 2) != 'T' && line.at(close + 2) != 't'))
                all = false;
        }
        if (all && !ids.isEmpty())
            return true;
        QThread::msleep(1);
    }
    return false;
}

} // namespace
using kmp::test::addBackendColumn;
using kmp::test::addBackendRows;
using namespace kmp::test;

namespace {

const double kDate = 46363; // 7 December 2026, the demo consultation
const QString kFilial = QStringLiteral("0001");
const QString kPaciente = QStringLiteral("000000000001");

RowValues diag(const QString &code, double seq)
{
    return {kFilial, kPaciente, kDate, code, kmp::test::demoCatalogueName(code), seq, QStringLiteral("CID10")};
}

QByteArray insertDelta(const TableDef &table, const RowValues &row)
{
    Delta d;
    d.fields = table.fieldDefs();
    d.changes.push_back({ChangeKind::Insert, {}, row});
    return encodeDelta(d);
}

// Reads one response frame from a raw socket; nullopt when the server closed instead.
std::optional<wire::Response> readResponse(QTcpSocket &s, int ms = 5000)
{
    wire::FrameReader reader;
    QElapsedTimer t;
    t.start();
    reader.append(s.readAll());
    while (t.elapsed() < ms) {
        if (auto body = reader.next())
            return wire::decodeResponse(*body);
        if (!s.waitForReadyRead(200) && s.state() != QAbstractSocket::ConnectedState)
            break;
        reader.append(s.readAll());
    }
    if (auto body = reader.next())
        return wire::decodeResponse(*body);
    return std::nullopt;
}

} // namespace

class TestServerProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void helpOnEveryCommand_data();
    void helpOnEveryCommand();
    void everyMethodEndToEnd_data();
    void everyMethodEndToEnd();
    void hostileInputIsRefused_data();
    void hostileInputIsRefused();
    void concurrentDuplicateSaves_data();
    void concurrentDuplicateSaves();
    void clientTransportFailures_data();
    void clientTransportFailures();
    void kmpCallCommandLine();
    void importCommand();
};

void TestServerProcess::helpOnEveryCommand_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("kmp-appserver") << "kmp-appserver" << QStringList{"--help"} << "import-cid10";
    QTest::newRow("serve") << "kmp-appserver" << QStringList{"serve", "--help"} << "--max-frame";
    QTest::newRow("import-cid10") << "kmp-appserver" << QStringList{"import-cid10", "--help"} << "PASTA";
    QTest::newRow("demo") << "kmp-appserver" << QStringList{"demo", "--help"} << "--database";
    QTest::newRow("audit") << "kmp-appserver" << QStringList{"audit", "--help"} << "--patient";
    QTest::newRow("serve security options") << "kmp-appserver" << QStringList{"serve", "--help"} << "--frame-deadline";
    QTest::newRow("serve handshake deadline") << "kmp-appserver" << QStringList{"serve", "--help"} << "--handshake-deadline";
    QTest::newRow("serve database pool") << "kmp-appserver" << QStringList{"serve", "--help"} << "--db-connections";
    QTest::newRow("serve memory budget") << "kmp-appserver" << QStringList{"serve", "--help"} << "--memory-budget";
    QTest::newRow("kmp-call") << "kmp-call" << QStringList{"--help"} << "@ARQUIVO";
}

void TestServerProcess::helpOnEveryCommand()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, args);
    QFETCH(QString, mentions);
    const ToolRun r = runTool(binary(qPrintable(tool)), args);
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(QString::fromUtf8(r.out).contains(mentions), r.out.constData());
    // Operators read it in Portuguese, like the errors; Qt's own headings follow when
    // its translations are installed.
    if (QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_pt_BR.qm")))
        QVERIFY2(r.out.contains("Uso: ") && !r.out.contains("Usage:") && !r.out.contains("Options:"), r.out.constData());
}

void TestServerProcess::everyMethodEndToEnd_data()
{
    addBackendColumn();
    addBackendRows("thirteen methods", [](QTestData &) {});
}

void TestServerProcess::everyMethodEndToEnd()
{
    KMP_OPEN_BACKEND(db);
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", db->databaseUrl()});
    QVERIFY2(demo.exitCode == 0, demo.err.constData());
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl()));
    wire::Client client;
    configureClient(client, server.port());

    const QByteArray rtf("{\\rtf1\\ansi texto}");
    struct Call
    {
        QString method;
        QCborArray args;
    };
    const std::vector<Call> calls{
        {"SetDiagPaci", {QCborValue(insertDelta(tables::diagPaci(), diag("I10", 1)))}},
        {"SetHistDoen", {QCborValue(insertDelta(tables::histDoen(), {kPaciente, kDate, rtf, kFilial}))}},
        {"SetHistClinProg", {QCborValue(insertDelta(tables::histClinProg(), {kPaciente, kDate, rtf, kFilial}))}},
        {"SetHistFam", {QCborValue(insertDelta(tables::histFam(), {kPaciente, kDate, rtf, kFilial}))}},
        {"SetExamFisi", {QCborValue(insertDelta(tables::examFisi(), {kPaciente, kDate, rtf, kFilial}))}},
        {"SetMemLaudo", {QCborValue(insertDelta(tables::memLaudo(), {kPaciente, kDate, rtf, QStringLiteral("001"), kFilial}))}},
        {"GetDiagnost", {}},
        {"GetDiagPaci", {kFilial, kPaciente, kDate}},
        {"GetDiagAsso", {kFilial, kPaciente, kDate}},
        {"GetHistGer", {kPaciente, kFilial, kDate}},
        {"GetVD_Diag", {kFilial, kPaciente, "I10", kDate}},
        {"GetTipoLaudo", {"", "T"}},
        {"GetMemLaudo", {kFilial, kPaciente, "001", kDate}},
    };
    std::map<QString, wire::Response> results;
    for (const Call &c : calls) {
        const wire::Response r = client.call(request(c.method, c.args));
        QVERIFY2(r.ok, qPrintable(c.method + QStringLiteral(": ") + r.errorMessage));
        results[c.method] = r;
    }
    QCOMPARE(results.size(), size_t(13));
    for (const char *set : {"SetDiagPaci", "SetHistDoen", "SetHistClinProg", "SetHistFam", "SetExamFisi", "SetMemLaudo"})
        QVERIFY(results[set].result.isNull());
    QVERIFY(decodePacket(results["GetDiagnost"].result.toByteArray()).rows.size() >= 40);
    QCOMPARE(decodePacket(results["GetDiagPaci"].result.toByteArray()).rows.at(0), diag("I10", 1));
    QCOMPARE(decodePacket(results["GetDiagAsso"].result.toByteArray()).rows.size(), size_t(3));
    const QCborArray hist = results["GetHistGer"].result.toArray();
    QCOMPARE(hist.size(), 4);
    for (const QCborValue &v : hist)
        QCOMPARE(decodePacket(v.toByteArray()).rows.at(0).at(2).toByteArray(), rtf);
    QCOMPARE(decodePacket(results["GetVD_Diag"].result.toByteArray()).rows.size(), size_t(1));
    QCOMPARE(decodePacket(results["GetTipoLaudo"].result.toByteArray()).rows.size(), size_t(3));
    QCOMPARE(decodePacket(results["GetMemLaudo"].result.toByteArray()).rows.at(0).at(2).toByteArray(), rtf);

    // Saved means on disk: a new server process on the same database sees it all.
    client.disconnectFromServer();
    server.killHard();
    ServerProcess second;
    QVERIFY(second.start(db->databaseUrl()));
    wire::Client again;
    configureClient(again, second.port());
    const wire::Response r = again.call(request("GetDiagPaci", {kFilial, kPaciente, kDate}));
    QVERIFY(r.ok);
    QCOMPARE(decodePacket(r.result.toByteArray()).rows.size(), size_t(1));
}

void TestServerProcess::hostileInputIsRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("code");       // expected error code; 0: no answer expected
    QTest::addColumn<bool>("staysOpen"); // the same connection can go on
    const auto req = [](const QString &module, const QString &guid, const QString &method, const QCborArray &args) {
        wire::Request r;
        r.id = 5;
        r.module = module;
        r.guid = guid;
        r.method = method;
        r.args = args;
        return wire::frame(wire::encodeRequest(r));
    };
    const int bad = int(wire::ErrorCode::BadRequest);
    QByteArray oversized(4, '\0');
    qToBigEndian<quint32>(4097, oversized.data());
    oversized += QByteArray(64, 'x');
    QByteArray huge(4, '\0');
    qToBigEndian<quint32>(0xffffffffu, huge.data());
    QCborMap noArgs;
    noArgs.insert(QStringLiteral("id"), 1);
    noArgs.insert(QStringLiteral("module"), ModuleName);

    QTest::newRow("frame over the limit") << oversized << int(wire::ErrorCode::TooLarge) << false;
    QTest::newRow("frame of 4 GiB announced") << huge << int(wire::ErrorCode::TooLarge) << false;
    QTest::newRow("malformed CBOR") << wire::frame(QByteArray("\xff\xfe\x9f garbage", 11)) << bad << true;
    QTest::newRow("CBOR that is no request") << wire::frame(QCborValue(QCborArray{1, 2}).toCbor()) << bad << true;
    QTest::newRow("request without args") << wire::frame(noArgs.toCborValue().toCbor()) << bad << true;
    QTest::newRow("empty frame") << wire::frame(QByteArray()) << bad << true;
    QTest::newRow("wrong module") << req("KMP12800.rdmOutro", ModuleGuid, "GetDiagnost", {})
                                  << int(wire::ErrorCode::UnknownModule) << true;
    QTest::newRow("wrong identifier") << req(ModuleName, "{00000000-0000-0000-0000-000000000000}", "GetDiagnost", {})
                                      << int(wire::ErrorCode::UnknownModule) << true;
    QTest::newRow("unknown method") << req(ModuleName, ModuleGuid, "DropAll", {}) << int(wire::ErrorCode::UnknownMethod) << true;
    QTest::newRow("too few arguments") << req(ModuleName, ModuleGuid, "GetDiagPaci", {kFilial, kPaciente}) << bad << true;
    QTest::newRow("too many arguments") << req(ModuleName, ModuleGuid, "GetDiagnost", {"", ""}) << bad << true;
    QTest::newRow("number where the catalogue version goes") << req(ModuleName, ModuleGuid, "GetDiagnost", {1}) << bad << true;
    QTest::newRow("number where text goes") << req(ModuleName, ModuleGuid, "GetDiagPaci", {1, kPaciente, kDate}) << bad << true;
    QTest::newRow("text where the date goes")
        << req(ModuleName, ModuleGuid, "GetDiagPaci", {kFilial, kPaciente, "ontem"}) << bad << true;
    QTest::newRow("delta as text") << req(ModuleName, ModuleGuid, "SetDiagPaci", {"delta"}) << bad << true;
    QTest::newRow("delta of garbage bytes") << req(ModuleName, ModuleGuid, "SetDiagPaci", {QCborValue(QByteArray("\x82\x01"))})
                                            << bad << true;
    QTest::newRow("frame cut short, then gone") << QByteArray("\x00\x00\x01\x00partial", 11) << 0 << false;
}

void TestServerProcess::hostileInputIsRefused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, code);
    QFETCH(bool, staysOpen);
    QTemporaryDir dir;
    ServerProcess server;
    QVERIFY(server.start(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("h.db")), {"--max-frame", "4096"}));

    // Another clinician is connected throughout and must be served before and after.
    wire::Client bystander;
    configureClient(bystander, server.port());
    QVERIFY(bystander.call(request("GetDiagnost", {})).ok);

    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(raw.waitForConnected(3000));
    raw.write(bytes);
    QVERIFY(raw.waitForBytesWritten(3000));
    if (code == 0) {
        raw.abort(); // goes away mid-frame
    } else {
        const auto response = readResponse(raw);
        QVERIFY2(response.has_value(), "no error response");
        QVERIFY(!response->ok);
        QCOMPARE(response->errorCode, code);
        QVERIFY(!response->errorMessage.isEmpty());
        if (staysOpen) {
            raw.write(wire::frame(wire::encodeRequest(request("GetTipoLaudo", {"", "T"}))));
            const auto next = readResponse(raw);
            QVERIFY(next.has_value());
            QVERIFY2(next->ok, qPrintable(next->errorMessage));
        } else {
            QVERIFY2(waitClosed(raw), "the server kept a connection it cannot read");
        }
    }
    const wire::Response after = bystander.call(request("GetDiagPaci", {kFilial, kPaciente, kDate}));
    QVERIFY2(after.ok, qPrintable(after.errorMessage));
    wire::Client newcomer;
    configureClient(newcomer, server.port());
    QVERIFY(newcomer.call(request("GetDiagnost", {})).ok);
    QCOMPARE(server.isRunning(), true);
}

void TestServerProcess::concurrentDuplicateSaves_data()
{
    addBackendColumn();
    addBackendRows("two clients on two servers, same code (one server on SQLite)", [](QTestData &) {});
}

void TestServerProcess::concurrentDuplicateSaves()
{
    KMP_OPEN_BACKEND(db);
    // Two server processes on one database, one clinician on each: the key in the
    // database, not anything a server remembers, must stop the second save.
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", db->databaseUrl()});
    QVERIFY2(demo.exitCode == 0, demo.err.constData());
    ServerProcess server, otherServer;
    QVERIFY(server.start(db->databaseUrl()));
    QString why;
    const bool second = otherServer.start(db->databaseUrl(), {}, &why);
    // A SQLite file is served by one server: a second one says who serves it, and the
    // two clinicians share the first.
    QVERIFY2(second == db->isPostgres(), qPrintable(why));
    if (!second)
        QVERIFY2(why.contains(QStringLiteral("em uso pelo processo %1").arg(server.pid())), qPrintable(why));
    const quint16 ports[2] = {server.port(), second ? otherServer.port() : server.port()};
    const QStringList codes{"I10", "E119", "J189", "K297", "N390", "R51", "J00", "A09", "F329", "M545"};
    for (int i = 0; i < codes.size(); ++i) {
        const QString &code = codes.at(i);
        std::latch go(2);
        wire::Response answers[2];
        QString transport[2];
        const auto save = [&](int who) {
            try {
                wire::Client c;
                configureClient(c, ports[who]);
                c.connectToServer();
                go.arrive_and_wait(); // both connected, then both send at once
                // Each its own place in the order, so only the repeated code can clash.
                answers[who] =
                    c.call(request("SetDiagPaci", {QCborValue(insertDelta(tables::diagPaci(), diag(code, 2 * i + who + 1)))}));
            } catch (const std::exception &e) {
                transport[who] = QString::fromUtf8(e.what());
            }
        };
        std::thread a(save, 0), b(save, 1);
        a.join();
        b.join();
        QVERIFY2(transport[0].isEmpty() && transport[1].isEmpty(), qPrintable(transport[0] + transport[1]));
        QCOMPARE(int(answers[0].ok) + int(answers[1].ok), 1);
        const wire::Response &refused = answers[0].ok ? answers[1] : answers[0];
        QCOMPARE(refused.errorCode, int(wire::ErrorCode::Conflict));
        QCOMPARE(refused.errorMessage, QStringLiteral("Diagnóstico já cadastrado."));
    }
    for (quint16 port : ports) {
        wire::Client c;
        configureClient(c, port);
        const wire::Response list = c.call(request("GetDiagPaci", {kFilial, kPaciente, kDate}));
        QVERIFY2(list.ok, qPrintable(list.errorMessage));
        QCOMPARE(decodePacket(list.result.toByteArray()).rows.size(), size_t(codes.size()));
    }
}

void TestServerProcess::clientTransportFailures_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::newRow("connection refused") << "refused";
    QTest::newRow("server killed mid-call") << "killed";
    QTest::newRow("server closes mid-call") << "closes";
    QTest::newRow("server accepts but never answers") << "silent";
}

void TestServerProcess::clientTransportFailures()
{
    QFETCH(QString, scenario);
    QTemporaryDir dir;
    std::unique_ptr<ServerProcess> server;
    QTcpServer silent;
    std::thread closer;
    quint16 port = 0;
    int readMs = 20000;

    if (scenario == QLatin1String("refused")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
        probe.close(); // nothing listens there any more
    } else if (scenario == QLatin1String("killed")) {
        server = std::make_unique<ServerProcess>();
        QVERIFY(server->start(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("k.db"))));
        port = server->port();
    } else if (scenario == QLatin1String("closes")) {
        // Reads the request, then hangs up without a word. Its sockets live on its own
        // thread, so the listener is created there too.
        std::promise<quint16> bound;
        auto boundPort = bound.get_future();
        closer = std::thread([&bound]() {
            QTcpServer listener;
            bound.set_value(listener.listen(QHostAddress::LocalHost, 0) ? listener.serverPort() : 0);
            if (listener.waitForNewConnection(10000)) {
                std::unique_ptr<QTcpSocket> s(listener.nextPendingConnection());
                s->waitForReadyRead(5000);
                s->readAll();
                s->abort();
            }
        });
        port = boundPort.get();
        QVERIFY(port != 0);
    } else {
        // The kernel completes the handshake; nobody ever reads or answers.
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        port = silent.serverPort();
        readMs = 700;
    }

    wire::Client client;
    configureClient(client, port, readMs);
    if (scenario == QLatin1String("killed")) {
        QVERIFY(client.call(request("GetDiagnost", {})).ok);
        // Freeze the server so the next call is certainly in flight, then kill it. A stop
        // signal takes effect only when each of the server's threads next enters the
        // kernel: sent while a thread is still running, the server could read and answer
        // the next request first. Wait until every thread is seen stopped.
        ::kill(pid_t(server->pid()), SIGSTOP);
        QVERIFY2(waitUntilStopped(server->pid()), "the server did not stop");
        std::thread killer([&]() {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ::kill(pid_t(server->pid()), SIGKILL);
        });
        bool sawDeath = false;
        QElapsedTimer t;
        t.start();
        try {
            client.call(request("GetDiagnost", {}));
        } catch (const wire::ConnectionError &) {
            sawDeath = true;
        }
        const qint64 tookMs = t.elapsed();
        killer.join();
        QVERIFY2(sawDeath, "the client never saw the server die");
        QVERIFY2(tookMs < readMs / 2, "the client waited for the timeout instead of seeing the server die");
    } else {
        QElapsedTimer t;
        t.start();
        try {
            client.call(request("GetDiagnost", {}));
            QFAIL("the call succeeded without a server");
        } catch (const wire::ConnectionError &e) {
            QVERIFY(!e.userMessage().isEmpty());
        }
        QVERIFY(t.elapsed() < 10000);
    }
    QVERIFY(!client.isConnected());
    if (closer.joinable())
        closer.join();
}

void TestServerProcess::kmpCallCommandLine()
{
    QTemporaryDir dir;
    const QString database = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("c.db"));
    QCOMPARE(runTool(binary("kmp-appserver"), {"demo", "--database", database}).exitCode, 0);
    ServerProcess server;
    QVERIFY(server.start(database));
    const QString where = QStringLiteral("127.0.0.1:%1").arg(server.port());

    const QJsonObject delta{
        {"fields", QJsonArray{QJsonArray{"CDFILIAL", "string", 4}, QJsonArray{"CDPACIENTE", "string", 12},
                              QJsonArray{"DTCONSPACI", "datetime", 0}, QJsonArray{"CDDIAGNOST", "string", 10},
                              QJsonArray{"NMDIAGNOST", "string", 300}, QJsonArray{"NRSEQUENCIA", "float", 0},
                              QJsonArray{"CDTABECDI", "string", 7}}},
        {"changes", QJsonArray{QJsonObject{{"kind", "insert"},
                                           {"new", QJsonArray{"0001", "000000000001", kDate, "I10",
                                                              "Hipertensão essencial (primária)", 1, "CID10"}}}}}};
    const QString file = dir.filePath(QStringLiteral("delta.json"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(delta).toJson());
    f.close();

    ToolRun r = runTool(binary("kmp-call"), {"--server", where, "SetDiagPaci", "@" + file});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(r.out.trimmed(), QByteArray("null"));

    // Quoted text, bare words and a day count all work as arguments.
    r = runTool(binary("kmp-call"), {"--server", where, "GetDiagPaci", "\"0001\"", "000000000001", "46363"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QJsonObject packet = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(packet.value("fields").toArray().size(), 7);
    QCOMPARE(packet.value("rows").toArray().at(0).toArray().at(3).toString(), QStringLiteral("I10"));
    QCOMPARE(packet.value("rows").toArray().at(0).toArray().at(4).toString(), QStringLiteral("Hipertensão essencial (primária)"));

    r = runTool(binary("kmp-call"), {"--server", where, "GetHistGer", "000000000001", "0001", "46363"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(r.out).array().size(), 4);

    // The server's refusal: non-zero exit, its message on stderr.
    r = runTool(binary("kmp-call"), {"--server", where, "SetDiagPaci", "@" + file});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(QString::fromUtf8(r.err).contains(QStringLiteral("Diagnóstico já cadastrado.")), r.err.constData());

    r = runTool(binary("kmp-call"), {"--server", where, "SetDiagPaci", "@" + dir.filePath("missing.json")});
    QCOMPARE(r.exitCode, 2);

    server.killHard();
    r = runTool(binary("kmp-call"), {"--server", where, "GetDiagnost"});
    QCOMPARE(r.exitCode, 3);
    QVERIFY(!r.err.isEmpty());
}

void TestServerProcess::importCommand()
{
    KMP_SHARED_DATA_OR_SKIP(cid10, "cid10");
    QTemporaryDir dir;
    const QString database = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("i.db"));
    for (int run = 0; run < 2; ++run) {
        const ToolRun r = runTool(binary("kmp-appserver"), {"import-cid10", cid10, "--database", database});
        // Every official code fits, Y112's 264-character name included.
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains("importados 14233 códigos"), r.out.constData());
        QVERIFY(r.err.contains("14233 de 14233"));
    }
    const ToolRun missing = runTool(binary("kmp-appserver"), {"import-cid10", dir.filePath("nada"), "--database", database});
    QCOMPARE(missing.exitCode, 1);
    QVERIFY(QString::fromUtf8(missing.err).contains(QStringLiteral("não existe")));
    const ToolRun badDb = runTool(binary("kmp-appserver"), {"demo", "--database", "mysql://x"});
    QCOMPARE(badDb.exitCode, 1);
}

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_serverprocess.moc"
