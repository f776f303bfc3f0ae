// The catalogue over the wire, end to end against the real kmp-appserver: compressed and
// plain clients side by side, the catalogue version that every import changes, and the
// station's copy of the catalogue (used while the version holds, refreshed after an
// import, dropped when damaged), including a server from before versions.

#include "cataloguecache.h"
#include "client.h"
#include "clientshelf.h"
#include "dispatcher.h"
#include "frame.h"
#include "message.h"
#include "packet.h"
#include "serverharness.h"
#include "slowlink.h"
#include "testdatabase.h"
#include "tnetconnection.h"

#include <QCborArray>
#include <QCborMap>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <future>
#include <thread>

using namespace kmp;
using namespace kmp::server;
using namespace kmp::test;

namespace {

// A catalogue folder in the official layout (Latin-1, ';'): n codes, every name carrying
// the given mark, so that two imports can be told apart.
void writeCatalogue(const QString &dir, int n, const QString &mark)
{
    QDir().mkpath(dir);
    QByteArray cats = "CAT;CLASSIF;DESCRICAO;DESCRABREV;REFER;EXCLUIDOS;\n";
    QByteArray subs = "SUBCAT;CLASSIF;RESTRSEXO;CAUSAOBITO;DESCRICAO;DESCRABREV;REFER;EXCLUIDOS;\n";
    for (int i = 0; i < n; ++i) {
        const QString code = QStringLiteral("%1%2").arg(QChar(u'A' + i % 26)).arg(i / 26, 2, 10, QLatin1Char('0'));
        cats += QStringLiteral("%1;;Doença de teste número %2, forma %3;%1 Doenca teste %2;;;\n")
                    .arg(code)
                    .arg(i)
                    .arg(mark)
                    .toLatin1();
        subs += QStringLiteral("%1%2;;;;Subcategoria %2 da doença %1, forma %3;%1.%2 Subcat;;;\n")
                    .arg(code)
                    .arg(i % 10)
                    .arg(mark)
                    .toLatin1();
    }
    QFile c(dir + QStringLiteral("/CID-10-CATEGORIAS.CSV"));
    QFile s(dir + QStringLiteral("/CID-10-SUBCATEGORIAS.CSV"));
    QVERIFY(c.open(QIODevice::WriteOnly) && s.open(QIODevice::WriteOnly));
    c.write(cats);
    s.write(subs);
}

void import(const QString &databaseUrl, const QString &dir)
{
    const ToolRun r = runTool(binary("kmp-appserver"), {"import-cid10", dir, "--database", databaseUrl});
    QVERIFY2(r.exitCode == 0, r.err.constData());
}

// The raw response frame body to a GetDiagnost call, announcing zstd or not, from a
// station at another address than the server's (the server compresses only for those).
QByteArray rawCatalogueCall(quint16 port, bool announce)
{
    QTcpSocket s;
    s.bind(QHostAddress(QStringLiteral("127.0.0.2")));
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(3000))
        return {};
    wire::Request r = request(QStringLiteral("GetDiagnost"), {});
    r.id = 9;
    r.acceptsZstd = announce;
    s.write(wire::frame(wire::encodeRequest(r)));
    wire::FrameReader reader;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 15000) {
        if (auto body = reader.next())
            return *body;
        if (!s.waitForReadyRead(200) && s.state() != QAbstractSocket::ConnectedState)
            break;
        reader.append(s.readAll());
    }
    return {};
}

QCborMap versionedCall(wire::Client &c, const QString &held)
{
    const wire::Response r = c.call(request(QStringLiteral("GetDiagnost"), {held}));
    if (!r.ok)
        qWarning("GetDiagnost refused: %s", qPrintable(r.errorMessage));
    return r.result.toMap();
}

QString nameOfFirstRow(const QByteArray &packet)
{
    const Packet p = decodePacket(packet);
    for (size_t i = 0; i < p.fields.size(); ++i)
        if (p.fields[i].name == QLatin1String("NMDIAGNOST") && !p.rows.empty())
            return p.rows.front()[i].toString();
    return {};
}

QByteArray onePacket(const QString &code)
{
    Packet p;
    p.fields = tables::diagnost().fieldDefs();
    RowValues row(p.fields.size());
    row[0] = code;
    row[1] = QStringLiteral("Cópia local");
    p.rows.push_back(row);
    return encodePacket(p);
}

// The connection the screen uses, aimed at a port.
std::unique_ptr<TNetConnection> connection(quint16 port)
{
    auto net = std::make_unique<TNetConnection>();
    net->setServerName(ModuleName);
    net->setServerGUID(ModuleGuid);
    net->setHost(QStringLiteral("127.0.0.1"));
    net->setPort(port);
    return net;
}

// A server from before catalogue versions: GetDiagnost takes no argument, and anything
// else is refused as a bad request. Serves one connection, answering until it closes.
class OldServer
{
public:
    explicit OldServer(QByteArray packet)
    {
        std::promise<quint16> port;
        auto ready = port.get_future();
        m_thread = std::thread([packet, &port]() {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost, 0);
            port.set_value(server.serverPort());
            if (!server.waitForNewConnection(10000))
                return;
            std::unique_ptr<QTcpSocket> s(server.nextPendingConnection());
            wire::FrameReader reader;
            while (s->state() == QAbstractSocket::ConnectedState) {
                if (!s->waitForReadyRead(200))
                    continue;
                reader.append(s->readAll());
                while (auto body = reader.next()) {
                    const wire::Request req = wire::decodeRequest(*body);
                    const wire::Response resp =
                        req.args.isEmpty()
                            ? wire::Response::success(req.id, QCborValue(packet))
                            : wire::Response::failure(req.id, wire::ErrorCode::BadRequest,
                                                      QStringLiteral("GetDiagnost espera 0 argumento(s), recebeu 1."));
                    s->write(wire::frame(wire::encodeResponse(resp)));
                    s->waitForBytesWritten(2000);
                }
            }
        });
        m_port = ready.get();
    }
    ~OldServer() { m_thread.join(); }
    quint16 port() const { return m_port; }

private:
    std::thread m_thread;
    quint16 m_port = 0;
};

} // namespace

class TestCatalogueCache : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void compressedAndPlainClients_data();
    void compressedAndPlainClients();
    void versionFollowsImports_data();
    void versionFollowsImports();
    void stationCopy_data();
    void stationCopy();
    void copyRefreshedAfterImport();
    void serverWithoutVersions();

private:
    QTemporaryDir m_dir;
};

void TestCatalogueCache::initTestCase()
{
    QVERIFY(m_dir.isValid());
    writeCatalogue(m_dir.filePath(QStringLiteral("first")), 600, QStringLiteral("antiga"));
    writeCatalogue(m_dir.filePath(QStringLiteral("second")), 600, QStringLiteral("revisada"));
}

void TestCatalogueCache::compressedAndPlainClients_data()
{
    addBackendColumn();
    addBackendRows("one server", [](QTestData &) {});
}

// One server, two kinds of client: the one that announces zstd gets the catalogue
// compressed, the one that does not (as older clients) gets it plain, and both read the
// same packet.
void TestCatalogueCache::compressedAndPlainClients()
{
    KMP_OPEN_BACKEND(db);
    import(db->databaseUrl(), m_dir.filePath(QStringLiteral("first")));
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl()));

    const QByteArray plainBody = rawCatalogueCall(server.port(), false);
    const QByteArray zstdBody = rawCatalogueCall(server.port(), true);
    QVERIFY(!plainBody.isEmpty() && !zstdBody.isEmpty());
    QVERIFY(!QCborValue::fromCbor(plainBody).toMap().contains(QLatin1String("enc")));
    QVERIFY(QCborValue::fromCbor(zstdBody).toMap().contains(QLatin1String("enc")));
    QVERIFY2(zstdBody.size() * 3 < plainBody.size(),
             qPrintable(QStringLiteral("%1 against %2 bytes").arg(zstdBody.size()).arg(plainBody.size())));

    // A station on the server's own machine is answered plain even when it asks.
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(s.waitForConnected(3000));
        wire::Request r = request(QStringLiteral("GetDiagnost"), {});
        r.id = 4;
        r.acceptsZstd = true;
        s.write(wire::frame(wire::encodeRequest(r)));
        wire::FrameReader reader;
        std::optional<QByteArray> body;
        QElapsedTimer t;
        t.start();
        while (!body && t.elapsed() < 15000 && (s.waitForReadyRead(200) || s.state() == QAbstractSocket::ConnectedState)) {
            reader.append(s.readAll());
            body = reader.next();
        }
        QVERIFY(body);
        QVERIFY(!QCborValue::fromCbor(*body).toMap().contains(QLatin1String("enc")));
    }

    // Both clients through a relay at another address, so that the compressed one is
    // really answered compressed.
    QThread relayThread;
    SlowLink relay(server.port(), 1e12, 0);
    relay.moveToThread(&relayThread);
    relayThread.start();
    quint16 relayPort = 0;
    QMetaObject::invokeMethod(
        &relay, [&relay]() { return relay.listen(); }, Qt::BlockingQueuedConnection, &relayPort);
    QVERIFY(relayPort);
    const auto stopRelay = qScopeGuard([&relayThread]() {
        relayThread.quit();
        relayThread.wait();
    });
    wire::Client plain, compressed;
    configureClient(plain, relayPort);
    configureClient(compressed, relayPort);
    plain.setAcceptCompressed(false);
    QByteArray packets[2];
    qint64 moved[2] = {0, 0};
    for (int round = 0; round < 2; ++round) // the same connections serve a second call alike
        for (wire::Client *c : {&plain, &compressed}) {
            const qint64 before = relay.bytesToClients();
            const wire::Response r = c->call(request(QStringLiteral("GetDiagnost"), {}));
            QVERIFY2(r.ok, qPrintable(r.errorMessage));
            packets[c == &plain ? 0 : 1] = r.result.toByteArray();
            moved[c == &plain ? 0 : 1] = relay.bytesToClients() - before;
        }
    QCOMPARE(packets[0], packets[1]);
    QVERIFY2(moved[1] * 3 < moved[0], qPrintable(QStringLiteral("%1 against %2 bytes").arg(moved[1]).arg(moved[0])));
    QCOMPARE(decodePacket(packets[1]).rows.size(), size_t(1200));
    // Small answers stay plain for both.
    for (wire::Client *c : {&plain, &compressed}) {
        const wire::Response r = c->call(request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")}));
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
    }
}

void TestCatalogueCache::versionFollowsImports_data()
{
    addBackendColumn();
    addBackendRows("import, same again, changed", [](QTestData &) {});
}

void TestCatalogueCache::versionFollowsImports()
{
    KMP_OPEN_BACKEND(db);
    import(db->databaseUrl(), m_dir.filePath(QStringLiteral("first")));
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl()));
    wire::Client c;
    configureClient(c, server.port());

    // No copy: version and packet.
    QCborMap first = versionedCall(c, QString());
    const QString v1 = first.value(QLatin1String("version")).toString();
    QVERIFY(!v1.isEmpty());
    QVERIFY(nameOfFirstRow(first.value(QLatin1String("packet")).toByteArray()).contains(QLatin1String("antiga")));
    // The copy is current: the version only.
    const QCborMap same = versionedCall(c, v1);
    QCOMPARE(same.value(QLatin1String("version")).toString(), v1);
    QVERIFY(!same.contains(QLatin1String("packet")));
    // A version this server never gave: the packet again.
    QVERIFY(versionedCall(c, QStringLiteral("7-00000000deadbeef")).value(QLatin1String("packet")).isByteArray());
    // Called as always (no argument), the packet as a byte string.
    const wire::Response plain = c.call(request(QStringLiteral("GetDiagnost"), {}));
    QVERIFY(plain.ok);
    QCOMPARE(plain.result.toByteArray(), first.value(QLatin1String("packet")).toByteArray());

    // Importing, even the same files, moves the version on, while the server runs.
    import(db->databaseUrl(), m_dir.filePath(QStringLiteral("first")));
    const QCborMap again = versionedCall(c, v1);
    const QString v2 = again.value(QLatin1String("version")).toString();
    QVERIFY(v2 != v1 && !v2.isEmpty());
    QVERIFY(again.value(QLatin1String("packet")).isByteArray());
    import(db->databaseUrl(), m_dir.filePath(QStringLiteral("second")));
    const QCborMap changed = versionedCall(c, v2);
    QVERIFY(changed.value(QLatin1String("version")).toString() != v2);
    QVERIFY(nameOfFirstRow(changed.value(QLatin1String("packet")).toByteArray()).contains(QLatin1String("revisada")));
}

void TestCatalogueCache::stationCopy_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("copyUsed");
    QTest::newRow("no copy yet") << "none" << false;
    QTest::newRow("copy of the current version") << "current" << true;
    QTest::newRow("copy of an older version") << "older" << false;
    QTest::newRow("byte flipped in the data") << "flip" << false;
    QTest::newRow("file cut short") << "truncate" << false;
    QTest::newRow("empty file") << "empty" << false;
    QTest::newRow("not a copy at all") << "magic" << false;
    QTest::newRow("renamed to another version") << "rename" << false;
}

// The station asks with the version of its copy. A sound copy of the current version is
// used as it is (the server sends no catalogue: the marked copy comes back); anything
// else is fetched, and the copy replaced by a sound one of the current version.
void TestCatalogueCache::stationCopy()
{
    QFETCH(QString, damage);
    QFETCH(bool, copyUsed);
    QString why;
    auto db = TestDatabase::create(QStringLiteral("sqlite"), &why);
    QVERIFY2(db, qPrintable(why));
    import(db->databaseUrl(), m_dir.filePath(QStringLiteral("first")));
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl()));
    wire::Client direct;
    configureClient(direct, server.port());
    const QCborMap current = versionedCall(direct, QString());
    const QString version = current.value(QLatin1String("version")).toString();
    const QByteArray served = current.value(QLatin1String("packet")).toByteArray();

    QTemporaryDir folder;
    const QString key = QStringLiteral("127.0.0.1:%1").arg(server.port());
    const CatalogueCache cache(key, QStringLiteral("GetDiagnost"), folder.path());
    const QByteArray marked = onePacket(QStringLiteral("ZZ99"));
    if (damage != QLatin1String("none"))
        QVERIFY(cache.write(damage == QLatin1String("older") ? QStringLiteral("1-0000000000000001") : version, marked));
    const QStringList files = QDir(folder.path()).entryList(QDir::Files);
    const QString file = files.isEmpty() ? QString() : folder.filePath(files.first());
    QFile f(file);
    if (damage == QLatin1String("flip") || damage == QLatin1String("truncate") || damage == QLatin1String("empty")
        || damage == QLatin1String("magic")) {
        QVERIFY(f.open(QIODevice::ReadWrite));
        QByteArray bytes = f.readAll();
        if (damage == QLatin1String("flip"))
            bytes[bytes.size() - 20] = char(bytes[bytes.size() - 20] ^ 0x04);
        else if (damage == QLatin1String("truncate"))
            bytes.chop(30);
        else if (damage == QLatin1String("empty"))
            bytes.clear();
        else
            bytes[0] = 'X';
        f.resize(0);
        f.seek(0);
        f.write(bytes);
        f.close();
    } else if (damage == QLatin1String("rename")) {
        QVERIFY(QFile::rename(file, QString(file).replace(version, QStringLiteral("9-ffffffffffffffff"))));
    }

    const auto netOwner = connection(server.port());
    TNetConnection &net = *netOwner;
    QByteArray got;
    try {
        got = cache.fetch(net);
    } catch (const kmp::Error &e) {
        QFAIL(qPrintable(e.userMessage()));
    }
    QCOMPARE(got, copyUsed ? marked : served);

    // Whatever happened, the station now holds one sound copy of the current version.
    QString heldVersion;
    QByteArray held;
    QVERIFY(cache.read(&heldVersion, &held));
    QCOMPARE(heldVersion, version);
    QCOMPARE(held, copyUsed ? marked : served);
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 1);
}

// The catalogue changes on the server (an import) between two opens: the station's copy
// is replaced, and the copies of other servers are left alone.
void TestCatalogueCache::copyRefreshedAfterImport()
{
    QString why;
    auto db = TestDatabase::create(QStringLiteral("sqlite"), &why);
    QVERIFY2(db, qPrintable(why));
    import(db->databaseUrl(), m_dir.filePath(QStringLiteral("first")));
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl()));
    QTemporaryDir folder;
    const CatalogueCache other(QStringLiteral("10.0.0.9:21280"), QStringLiteral("GetDiagnost"), folder.path());
    QVERIFY(other.write(QStringLiteral("3-0000000000000003"), onePacket(QStringLiteral("OTHER"))));
    const CatalogueCache cache(QStringLiteral("127.0.0.1:%1").arg(server.port()), QStringLiteral("GetDiagnost"), folder.path());
    const auto netOwner = connection(server.port());
    TNetConnection &net = *netOwner;

    const QByteArray before = cache.fetch(net);
    QVERIFY(nameOfFirstRow(before).contains(QLatin1String("antiga")));
    QString v1, v2;
    QByteArray held;
    QVERIFY(cache.read(&v1, &held));
    QCOMPARE(cache.fetch(net), before);

    import(db->databaseUrl(), m_dir.filePath(QStringLiteral("second")));
    const QByteArray after = cache.fetch(net);
    QVERIFY(nameOfFirstRow(after).contains(QLatin1String("revisada")));
    QVERIFY(cache.read(&v2, &held));
    QVERIFY(v2 != v1);
    QCOMPARE(held, after);
    QCOMPARE(cache.fetch(net), after);

    QString otherVersion;
    QVERIFY(other.read(&otherVersion, &held));
    QCOMPARE(otherVersion, QStringLiteral("3-0000000000000003"));
}

// Against a server that knows no versions, the station asks again the plain way, gets
// the catalogue, and keeps no copy it could not validate later.
void TestCatalogueCache::serverWithoutVersions()
{
    const QByteArray packet = onePacket(QStringLiteral("A00"));
    QTemporaryDir folder;
    {
        OldServer old(packet);
        const CatalogueCache cache(QStringLiteral("127.0.0.1:%1").arg(old.port()), QStringLiteral("GetDiagnost"), folder.path());
        const auto netOwner = connection(old.port());
        TNetConnection &net = *netOwner;
        QCOMPARE(cache.fetch(net), packet);
        // The old server serves one connection and ends when it closes; the station would
        // otherwise keep it idle for the next screen.
        net.setConnected(false);
        wire::ClientShelf::instance().clear();
        QString version;
        QByteArray held;
        QVERIFY(!cache.read(&version, &held));
    }
    QVERIFY(QDir(folder.path()).entryList(QDir::Files).isEmpty());
}

QTEST_MAIN(TestCatalogueCache)
#include "tst_cataloguecache.moc"
