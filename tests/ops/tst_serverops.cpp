// What an operator does to a running server: ask whether it is healthy (kmp-appserver
// status, answered without a client key), withdraw a key with SIGHUP instead of a restart,
// and see key guessing from one address slowed down and logged.

#include "keythrottle.h"
#include "schema.h"
#include "serverharness.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <csignal>

using namespace kmp;
using namespace kmp::server;
using namespace kmp::test;

namespace {

const QByteArray kReceptionSecret = QByteArrayLiteral("outra-senha-bem-comprida");

// A call that needs a proven key; the error text, or empty when it was answered.
QString callWith(quint16 port, const QString &name, const QByteArray &secret)
{
    wire::Client c;
    configureClient(c, port);
    c.setTimeouts(int(KeyThrottle::StationWaitMs), 15000); // what a station waits
    c.setCredentials(name, secret);
    try {
        const wire::Response r = c.call(request(QStringLiteral("GetTipoLaudo"), {QStringLiteral(""), QStringLiteral("T")}));
        return r.ok ? QString() : r.errorMessage;
    } catch (const kmp::Error &e) {
        return e.userMessage();
    }
}

bool rewrite(const QString &path, const QByteArray &content)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(content);
    return f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

int countLines(const QByteArray &log, const char *part)
{
    int n = 0;
    for (const QByteArray &line : log.split('\n'))
        n += line.contains(part) ? 1 : 0;
    return n;
}

} // namespace

class TestServerOps : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    TestCertificates m_certs;
    bool m_haveCerts = false;
    QString m_noCertsWhy;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_haveCerts = m_certs.create(&m_noCertsWhy);
    }

    void throttleRule_data()
    {
        QTest::addColumn<int>("failures");
        QTest::addColumn<qint64>("quietMs"); // time since the last refusal
        QTest::addColumn<bool>("thenAccepted");
        QTest::addColumn<qint64>("delayMs");
        QTest::newRow("two refusals: no wait") << 2 << qint64(0) << false << qint64(0);
        QTest::newRow("three refusals: the first wait") << 3 << qint64(0) << false << KeyThrottle::FirstDelayMs;
        QTest::newRow("five refusals: doubled twice") << 5 << qint64(0) << false << 4 * KeyThrottle::FirstDelayMs;
        QTest::newRow("many refusals: capped") << 40 << qint64(0) << false << KeyThrottle::MaxDelayMs;
        QTest::newRow("still within the window") << 5 << KeyThrottle::WindowMs << false << 4 * KeyThrottle::FirstDelayMs;
        QTest::newRow("forgotten after the window") << 5 << KeyThrottle::WindowMs + 1 << false << qint64(0);
        QTest::newRow("an accepted key clears it") << 9 << qint64(0) << true << qint64(0);
    }
    void throttleRule()
    {
        QFETCH(int, failures);
        QFETCH(qint64, quietMs);
        QFETCH(bool, thenAccepted);
        QFETCH(qint64, delayMs);
        KeyThrottle t;
        const QString address = QStringLiteral("10.0.0.7");
        const QString name = QStringLiteral("recepcao-1");
        qint64 now = 1000000;
        for (int i = 1; i <= failures; ++i)
            QCOMPARE(t.recordFailure(address, name, now += 10), i);
        if (thenAccepted)
            t.recordSuccess(address, name);
        QCOMPARE(t.delayFor(address, name, now + quietMs), delayMs);
        // Other addresses, and other stations' names behind the same address, are never
        // held up by this one; and no wait comes near what a station waits.
        QCOMPARE(t.delayFor(QStringLiteral("10.0.0.8"), name, now), qint64(0));
        QCOMPARE(t.delayFor(address, QStringLiteral("consultorio-3"), now), qint64(0));
        QVERIFY(delayMs <= KeyThrottle::StationWaitMs / 2);
        // A refusal after a quiet window starts counting again.
        if (quietMs > KeyThrottle::WindowMs)
            QCOMPARE(t.recordFailure(address, name, now + quietMs), 1);
    }

    // Many addresses cannot grow the table without bound, and the newest refusals stay
    // counted when old ones are dropped.
    void throttleMemoryIsBounded()
    {
        KeyThrottle t;
        qint64 now = 0;
        const QString name = QStringLiteral("recepcao-1");
        for (int i = 0; i < KeyThrottle::MaxEntries * 3; ++i)
            t.recordFailure(QStringLiteral("10.%1.%2.%3").arg(i >> 16).arg((i >> 8) & 255).arg(i & 255), name, ++now);
        const QString recent = QStringLiteral("192.168.0.9");
        for (int i = 0; i < KeyThrottle::FreeFailures; ++i)
            t.recordFailure(recent, name, ++now);
        QCOMPARE(t.delayFor(recent, name, now), KeyThrottle::FirstDelayMs);
        QVERIFY(t.trackedEntries() <= KeyThrottle::MaxEntries);
    }

    void status_data()
    {
        QTest::addColumn<QString>("setup"); // plain, secured, none, database-gone
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        const QString healthy =
            QStringLiteral("banco sqlite: esquema versão %1 (este servidor usa a %1)").arg(CurrentSchemaVersion);
        QTest::newRow("healthy server") << "plain" << 0 << healthy;
        QTest::newRow("TLS and keys, probe without a key") << "secured" << 0 << healthy;
        QTest::newRow("no server") << "none" << 3 << QStringLiteral("sem resposta");
        QTest::newRow("database file gone")
            << "database-gone" << 1 << QStringLiteral("esquema versão 0 (este servidor usa a %1)").arg(CurrentSchemaVersion);
    }
    void status()
    {
        QFETCH(QString, setup);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        if (setup == QLatin1String("secured") && !m_haveCerts)
            QSKIP(qPrintable(m_noCertsWhy));
        QTemporaryDir dir;
        const QString dbPath = dir.filePath(QStringLiteral("status.db"));
        ServerProcess server;
        QStringList probe{QStringLiteral("status"), QStringLiteral("--timeout"), QStringLiteral("10")};
        if (setup == QLatin1String("none")) {
            // A port that was free a moment ago: nobody answers there.
            QTcpServer unused;
            QVERIFY(unused.listen(QHostAddress::LocalHost, 0));
            probe << QStringLiteral("--server") << QStringLiteral("127.0.0.1:%1").arg(unused.serverPort());
            unused.close();
        } else {
            QStringList extra;
            if (setup == QLatin1String("secured")) {
                extra = m_certs.serverOptions() + QStringList{QStringLiteral("--keys"), writeKeyFile(dir)};
                probe << QStringLiteral("--tls") << QStringLiteral("--ca") << m_certs.ca();
            }
            QVERIFY(server.start(QStringLiteral("sqlite:") + dbPath, extra));
            probe << QStringLiteral("--server") << QStringLiteral("127.0.0.1:%1").arg(server.port());
            if (setup == QLatin1String("database-gone"))
                QVERIFY(QFile::remove(dbPath));
        }
        const ToolRun r = runTool(binary("kmp-appserver"), probe);
        QVERIFY2(r.out.contains(output.toUtf8()), r.out.constData());
        QCOMPARE(r.exitCode, exitCode);
        if (setup == QLatin1String("secured")) {
            // Answered without a key, and not taken for a key guess.
            QVERIFY(server.waitForLogLine({QStringLiteral(": ping")}));
            QCOMPARE(countLines(server.log(), "recusada"), 0);
        }
    }

    // The probe's answer carries exactly the operator's fields, and nothing else.
    void pingTellsNothingElse()
    {
        QTemporaryDir dir;
        ServerProcess server;
        QVERIFY(server.start(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("ping.db"))));
        wire::Client c;
        configureClient(c, server.port());
        wire::Request ping;
        ping.method = QStringLiteral("Ping");
        const wire::Response r = c.call(ping);
        QVERIFY(r.ok);
        QStringList keys;
        for (const auto &[k, v] : r.result.toMap())
            keys << k.toString();
        keys.sort();
        QCOMPARE(keys, (QStringList{QStringLiteral("database"), QStringLiteral("databaseOk"), QStringLiteral("schema"),
                                    QStringLiteral("schemaExpected"), QStringLiteral("server"), QStringLiteral("version")}));
        // The connection goes on serving the module's methods.
        QVERIFY(c.call(request(QStringLiteral("GetTipoLaudo"), {QStringLiteral(""), QStringLiteral("T")})).ok);
    }

    void keysReloadOnSighup()
    {
        QTemporaryDir dir;
        const QString keys = writeKeyFile(dir);
        ServerProcess server;
        QVERIFY(
            server.start(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("keys.db")), {QStringLiteral("--keys"), keys}));
        QCOMPARE(callWith(server.port(), kKeyName, kSecret), QString());
        QCOMPARE(callWith(server.port(), QStringLiteral("recepcao-1"), kReceptionSecret), QString());

        // The consulting room's key is withdrawn: refused from its next connection on,
        // the reception's goes on working.
        QVERIFY(rewrite(keys, "recepcao-1:" + kReceptionSecret + "\n"));
        QVERIFY(::kill(pid_t(server.pid()), SIGHUP) == 0);
        QVERIFY(server.waitForLogLine({QStringLiteral("chaves de cliente recarregadas"), QStringLiteral("1 chave(s)")}));
        QCOMPARE(callWith(server.port(), kKeyName, kSecret), QStringLiteral("Chave de cliente recusada pelo servidor."));
        QCOMPARE(callWith(server.port(), QStringLiteral("recepcao-1"), kReceptionSecret), QString());

        // A file that no longer reads leaves the keys as they were.
        QVERIFY(rewrite(keys, "recepcao-1 sem dois pontos\n"));
        QVERIFY(::kill(pid_t(server.pid()), SIGHUP) == 0);
        QVERIFY(server.waitForLogLine({QStringLiteral("chaves mantidas como estavam")}));
        QCOMPARE(callWith(server.port(), QStringLiteral("recepcao-1"), kReceptionSecret), QString());
        QVERIFY(server.isRunning());

        // A key added to the file is taken at the next SIGHUP.
        QVERIFY(rewrite(keys, "recepcao-1:" + kReceptionSecret + "\n" + kKeyName.toUtf8() + ":" + kSecret + "\n"));
        QVERIFY(::kill(pid_t(server.pid()), SIGHUP) == 0);
        QVERIFY(server.waitForLogLine({QStringLiteral("chaves de cliente recarregadas"), QStringLiteral("2 chave(s)")}));
        QCOMPARE(callWith(server.port(), kKeyName, kSecret), QString());
        QVERIFY(!server.log().contains(kSecret));
    }

    // systemctl reload on a server without a key file must not end it (SIGHUP's default
    // action would).
    void sighupWithoutKeysKeepsServing()
    {
        QTemporaryDir dir;
        ServerProcess server;
        QVERIFY(server.start(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("nokeys.db"))));
        QVERIFY(::kill(pid_t(server.pid()), SIGHUP) == 0);
        QVERIFY(server.waitForLogLine({QStringLiteral("SIGHUP"), QStringLiteral("nada a recarregar")}));
        QVERIFY(server.isRunning());
        QCOMPARE(callWith(server.port(), QString(), QByteArray()), QString());
    }

    // Guesses at one key name from one address (a clinic's router, a terminal server) are
    // slowed, yet never lock the stations behind it out: another name is not held up, and
    // the right key of the guessed name gets in within what a station waits.
    void keyGuessingIsSlowed()
    {
        QTemporaryDir dir;
        ServerProcess server;
        QVERIFY(server.start(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("guess.db")),
                             {QStringLiteral("--keys"), writeKeyFile(dir)}));
        const QByteArray wrong = QByteArrayLiteral("nao-e-esta-a-senha-certa");
        const QString refused = QStringLiteral("Chave de cliente recusada pelo servidor.");
        for (int i = 0; i < KeyThrottle::FreeFailures; ++i)
            QCOMPARE(callWith(server.port(), kKeyName, wrong), refused);
        QVERIFY(server.waitForLogLine({QStringLiteral("chaves recusadas de 127.0.0.1"), kKeyName}));
        QCOMPARE(countLines(server.log(), "resposta atrasada"), 0);

        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 3; ++i)
            QCOMPARE(callWith(server.port(), kKeyName, wrong), refused);
        QVERIFY2(t.elapsed() >= 7 * KeyThrottle::FirstDelayMs - 300, qPrintable(QString::number(t.elapsed())));
        QVERIFY(server.waitForLogLine({QStringLiteral("resposta atrasada")}));

        QCOMPARE(callWith(server.port(), QStringLiteral("recepcao-1"), kReceptionSecret), QString());
        QCOMPARE(countLines(server.log(), "\"recepcao-1\" recusada repetidamente"), 0);
        QCOMPARE(callWith(server.port(), kKeyName, kSecret), QString());
        // The right key clears the record.
        const int delayed = countLines(server.log(), "resposta atrasada");
        QCOMPARE(callWith(server.port(), kKeyName, kSecret), QString());
        QCOMPARE(countLines(server.log(), "resposta atrasada"), delayed);
    }
};

QTEST_GUILESS_MAIN(TestServerOps)
#include "tst_serverops.moc"
