// The station's shelf of idle connections, against the real kmp-appserver: a connection
// is handed back only to a caller asking for the same server, key and TLS settings; it is
// closed when its time is up, when too many are parked and when it still holds answers;
// and one whose server restarted meanwhile still serves (the client connects afresh).

#include "clientshelf.h"
#include "serverharness.h"
#include "testdatabase.h"

#include <QCborArray>
#include <QTest>
#include <thread>

using namespace kmp;
using namespace kmp::test;

namespace {

std::unique_ptr<wire::Client> connectedClient(quint16 port)
{
    auto c = std::make_unique<wire::Client>();
    configureClient(*c, port);
    c->connectToServer();
    return c;
}

// The server's log lines come through a pipe read by the event loop: let them arrive.
int logCount(ServerProcess &server, const char *what)
{
    QTest::qWait(200);
    return int(server.log().count(what));
}

int connectionsOpened(ServerProcess &server)
{
    return logCount(server, "aberta de");
}

int connectionsClosed(ServerProcess &server)
{
    return logCount(server, " fechada (");
}

} // namespace

class TestClientShelf : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestDatabase> m_db;
    ServerProcess m_server;

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        m_db = TestDatabase::create(QStringLiteral("sqlite"), &why);
        QVERIFY2(m_db, qPrintable(why));
        QVERIFY(runTool(binary("kmp-appserver"), {"demo", "--database", m_db->databaseUrl()}).exitCode == 0);
        QVERIFY(m_server.start(m_db->databaseUrl()));
    }
    void cleanup()
    {
        wire::ClientShelf::instance().clear();
        wire::ClientShelf::instance().setLifetime(wire::ClientShelf::DefaultLifetimeMs);
    }

    void handedBackOnlyForTheSameSettings_data()
    {
        QTest::addColumn<int>("portOffset");
        QTest::addColumn<QString>("keyName");
        QTest::addColumn<QByteArray>("secret");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<bool>("handedBack");
        QTest::newRow("same server, no key, plain") << 0 << QString() << QByteArray() << false << QString() << true;
        QTest::newRow("another port") << 1 << QString() << QByteArray() << false << QString() << false;
        QTest::newRow("a client key") << 0 << QStringLiteral("consultorio-3") << QByteArray("s") << false << QString() << false;
        QTest::newRow("a secret without a name") << 0 << QString() << QByteArray("s") << false << QString() << false;
        QTest::newRow("TLS") << 0 << QString() << QByteArray() << true << QString() << false;
        QTest::newRow("another CA file") << 0 << QString() << QByteArray() << false << QStringLiteral("/etc/kmp/ca.pem") << false;
    }
    void handedBackOnlyForTheSameSettings()
    {
        QFETCH(int, portOffset);
        QFETCH(QString, keyName);
        QFETCH(QByteArray, secret);
        QFETCH(bool, tls);
        QFETCH(QString, caFile);
        QFETCH(bool, handedBack);
        auto c = connectedClient(m_server.port());
        const wire::Client *parked = c.get();
        wire::ClientShelf::instance().park(std::move(c));
        QCOMPARE(wire::ClientShelf::instance().parked(), 1);
        auto taken = wire::ClientShelf::instance().take(QStringLiteral("127.0.0.1"), quint16(m_server.port() + portOffset),
                                                        keyName, secret, tls, caFile);
        QCOMPARE(taken.get() == parked, handedBack);
        QCOMPARE(taken != nullptr, handedBack);
        QCOMPARE(wire::ClientShelf::instance().parked(), handedBack ? 0 : 1);
        if (taken) {
            // Still the live connection it was: no new one at the server.
            const int before = connectionsOpened(m_server);
            QVERIFY(taken->call(request(QStringLiteral("GetDiagnost"), {})).ok);
            QCOMPARE(connectionsOpened(m_server), before);
        }
    }

    void closedWhenNotWorthKeeping_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("its time is up") << QStringLiteral("expired");
        QTest::newRow("more parked than kept") << QStringLiteral("crowded");
        QTest::newRow("answers not collected") << QStringLiteral("answers");
        QTest::newRow("parked off the main thread") << QStringLiteral("thread");
        QTest::newRow("not connected") << QStringLiteral("unconnected");
    }
    void closedWhenNotWorthKeeping()
    {
        QFETCH(QString, how);
        wire::ClientShelf &shelf = wire::ClientShelf::instance();
        // Every connection of the rows before is closed at the server, so counting closes
        // counts this row's.
        QTRY_COMPARE_WITH_TIMEOUT(connectionsClosed(m_server), connectionsOpened(m_server), 5000);
        const int closedCount = connectionsClosed(m_server);
        int expectParked = 0;
        int expectClosed = 1;
        if (how == QLatin1String("expired")) {
            shelf.setLifetime(100);
            shelf.park(connectedClient(m_server.port()));
            QCOMPARE(shelf.parked(), 1);
            // Closed on time by the shelf itself, not only when someone looks.
            QTRY_COMPARE_WITH_TIMEOUT(connectionsClosed(m_server), closedCount + 1, 5000);
            QCOMPARE(shelf.parked(), 0);
            return;
        } else if (how == QLatin1String("crowded")) {
            for (int i = 0; i < wire::ClientShelf::MaxParked + 2; ++i)
                shelf.park(connectedClient(m_server.port()));
            expectParked = wire::ClientShelf::MaxParked;
            expectClosed = 2;
        } else if (how == QLatin1String("answers")) {
            auto c = connectedClient(m_server.port());
            c->send({request(QStringLiteral("GetDiagnost"), {})});
            shelf.park(std::move(c));
        } else if (how == QLatin1String("thread")) {
            std::thread([this] { wire::ClientShelf::instance().park(connectedClient(m_server.port())); }).join();
        } else {
            shelf.park(std::make_unique<wire::Client>());
            expectClosed = 0;
        }
        QCOMPARE(shelf.parked(), expectParked);
        QTRY_COMPARE_WITH_TIMEOUT(connectionsClosed(m_server), closedCount + expectClosed, 5000);
    }

    // The server restarted while the connection sat on the shelf: the client notices the
    // closed connection before sending and connects again, so the caller gets an answer.
    void serverRestartedMeanwhile()
    {
        wire::ClientShelf::instance().park(connectedClient(m_server.port()));
        QString why;
        QVERIFY2(m_server.restart(&why), qPrintable(why));
        auto taken = wire::ClientShelf::instance().take(QStringLiteral("127.0.0.1"), m_server.port(), QString(), QByteArray(),
                                                        false, QString());
        QVERIFY(taken);
        const wire::Response r = taken->call(
            request(QStringLiteral("GetDiagPaci"), {QStringLiteral("0001"), QStringLiteral("000000000001"), 46363.0}));
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
    }
};

QTEST_GUILESS_MAIN(TestClientShelf)
#include "tst_clientshelf.moc"
