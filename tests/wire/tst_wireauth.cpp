// The client-key handshake as the client sees it: the frames it accepts and refuses, and
// the client against scripted servers: it proves the key without sending the secret,
// reports a refused key and a server that never asks for one, and never takes a challenge
// for an answer.

#include "auth.h"
#include "client.h"
#include "frame.h"
#include "socketframes.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <functional>
#include <future>
#include <thread>

using namespace kmp;
using namespace kmp::wire;
using kmp::test::readFrame;

namespace {

// One connection served on a thread of its own by a script.
class ScriptedServer
{
public:
    explicit ScriptedServer(std::function<void(QTcpSocket &)> script)
    {
        std::promise<quint16> port;
        auto portReady = port.get_future();
        m_thread = std::thread([script = std::move(script), &port]() {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost, 0);
            port.set_value(server.serverPort());
            if (!server.waitForNewConnection(10000))
                return;
            std::unique_ptr<QTcpSocket> s(server.nextPendingConnection());
            script(*s);
            if (s->state() == QAbstractSocket::ConnectedState)
                s->waitForBytesWritten(2000);
            s->disconnectFromHost();
            if (s->state() != QAbstractSocket::UnconnectedState)
                s->waitForDisconnected(2000);
        });
        m_port = portReady.get();
    }
    ~ScriptedServer() { m_thread.join(); }
    quint16 port() const { return m_port; }

private:
    std::thread m_thread;
    quint16 m_port = 0;
};

const QByteArray kSecret = QByteArrayLiteral("um-segredo-que-nao-viaja-nunca");

} // namespace

class TestWireAuth : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keyNames_data();
    void keyNames();
    void constantTimeComparison_data();
    void constantTimeComparison();
    void malformedHandshakeFrames_data();
    void malformedHandshakeFrames();
    void clientAgainstScriptedServer_data();
    void clientAgainstScriptedServer();
};

void TestWireAuth::keyNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "recepcao-1" << true;
    QTest::newRow("dots and underscores") << "clinica.sala_2" << true;
    QTest::newRow("64 characters") << QString(64, QLatin1Char('a')) << true;
    QTest::newRow("65 characters") << QString(65, QLatin1Char('a')) << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("space") << "sala 2" << false;
    QTest::newRow("line break (would forge a log line)") << "a\nconexão #9 aberta" << false;
    QTest::newRow("accented letter") << "recepção" << false;
    QTest::newRow("colon (separates name and secret)") << "a:b" << false;
}

void TestWireAuth::keyNames()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(auth::isValidKeyName(name), valid);
}

void TestWireAuth::constantTimeComparison_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<bool>("equal");
    const QByteArray mac = auth::mac(kSecret, QByteArray(32, 'n'));
    QByteArray first = mac, last = mac;
    first[0] = char(first[0] ^ 1);
    last[31] = char(last[31] ^ 0x80);
    QTest::newRow("same") << mac << QByteArray(mac) << true;
    QTest::newRow("first byte differs") << mac << first << false;
    QTest::newRow("last byte differs") << mac << last << false;
    QTest::newRow("prefix only") << mac << mac.left(16) << false;
    QTest::newRow("empty answer") << mac << QByteArray() << false;
}

void TestWireAuth::constantTimeComparison()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(bool, equal);
    QCOMPARE(auth::equalConstantTime(a, b), equal);
}

void TestWireAuth::malformedHandshakeFrames_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("isChallenge");
    QTest::addColumn<bool>("isAnswer");
    const QByteArray nonce(auth::NonceSize, 'x');
    QCborMap shortNonce;
    shortNonce.insert(QStringLiteral("auth"), QStringLiteral("hmac-sha256"));
    shortNonce.insert(QStringLiteral("nonce"), QByteArray(8, 'x'));
    QCborMap keyAsNumber;
    keyAsNumber.insert(QStringLiteral("auth"), QStringLiteral("answer"));
    keyAsNumber.insert(QStringLiteral("key"), 7);
    keyAsNumber.insert(QStringLiteral("mac"), QByteArray(32, 'm'));
    QTest::newRow("challenge") << auth::encodeChallenge(nonce) << true << false;
    QTest::newRow("answer") << auth::encodeAnswer({QStringLiteral("a"), QByteArray(32, 'm')}) << false << true;
    QTest::newRow("challenge with a short nonce (cheap to replay)") << shortNonce.toCborValue().toCbor() << false << false;
    QTest::newRow("answer whose key is a number") << keyAsNumber.toCborValue().toCbor() << false << false;
    QTest::newRow("challenge with bytes after it") << auth::encodeChallenge(nonce) + "x" << false << false;
    QTest::newRow("an ordinary request") << QCborValue(QCborArray{1, 2}).toCbor() << false << false;
    QTest::newRow("garbage") << QByteArray("\xff\x00\x13", 3) << false << false;
}

void TestWireAuth::malformedHandshakeFrames()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, isChallenge);
    QFETCH(bool, isAnswer);
    QCOMPARE(auth::decodeChallenge(body).has_value(), isChallenge);
    QCOMPARE(auth::decodeAnswer(body).has_value(), isAnswer);
}

void TestWireAuth::clientAgainstScriptedServer_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("withKey");
    QTest::addColumn<QString>("error"); // empty: the call succeeds
    QTest::newRow("key proved, call answered") << "accepts" << true << "";
    QTest::newRow("key refused") << "refuses" << true << "Chave de cliente recusada pelo servidor.";
    QTest::newRow("server closes after the answer") << "closes" << true << "Chave de cliente recusada pelo servidor.";
    QTest::newRow("server never asks for the key") << "silent" << true << "O servidor não pediu a chave de cliente";
    QTest::newRow("challenge arrives where the answer was expected") << "challenges" << false << "exige uma chave de cliente";
}

void TestWireAuth::clientAgainstScriptedServer()
{
    QFETCH(QString, server);
    QFETCH(bool, withKey);
    QFETCH(QString, error);
    std::promise<QString> seen; // what the server found wrong, empty when all was right
    auto verdict = seen.get_future();
    ScriptedServer fake([&](QTcpSocket &s) {
        QString wrong;
        if (server == QLatin1String("silent")) {
            QTest::qSleep(1200);
            seen.set_value(wrong);
            return;
        }
        const QByteArray nonce = auth::newNonce();
        s.write(frame(auth::encodeChallenge(nonce)));
        s.waitForBytesWritten(2000);
        if (server == QLatin1String("challenges")) {
            readFrame(s); // the request, unanswered
            seen.set_value(wrong);
            return;
        }
        QByteArray raw;
        const auto answerBody = readFrame(s);
        const auto answer = answerBody ? auth::decodeAnswer(*answerBody) : std::nullopt;
        if (!answer)
            wrong = QStringLiteral("no answer");
        else if (answer->keyName != QLatin1String("sala-2") || answer->mac != auth::mac(kSecret, nonce))
            wrong = QStringLiteral("wrong answer");
        else if (answerBody->contains(kSecret))
            wrong = QStringLiteral("the secret travelled");
        if (server == QLatin1String("refuses")) {
            s.write(frame(encodeResponse(Response::failure(0, ErrorCode::Unauthorized, QStringLiteral("não")))));
        } else if (server == QLatin1String("accepts")) {
            s.write(frame(encodeResponse(Response::success(0, QCborValue(QStringLiteral("sala-2"))))));
            s.waitForBytesWritten(2000);
            if (const auto req = readFrame(s)) {
                const Request r = decodeRequest(*req);
                s.write(frame(encodeResponse(Response::success(r.id, QCborValue(42)))));
            } else {
                wrong = QStringLiteral("no request after the handshake");
            }
        }
        seen.set_value(wrong);
    });

    Client c;
    c.setEndpoint(QStringLiteral("127.0.0.1"), fake.port());
    c.setTimeouts(800, 3000);
    if (withKey)
        c.setCredentials(QStringLiteral("sala-2"), kSecret);
    Request r;
    r.module = QStringLiteral("M");
    r.guid = QStringLiteral("G");
    r.method = QStringLiteral("GetDiagnost");
    try {
        const Response resp = c.call(r);
        QVERIFY2(error.isEmpty(), "the call should have failed");
        QVERIFY(resp.ok);
        QCOMPARE(resp.result.toInteger(), 42);
    } catch (const ConnectionError &e) {
        QVERIFY2(!error.isEmpty() && e.userMessage().contains(error), qPrintable(e.userMessage()));
        QVERIFY(!c.isConnected());
    }
    const QString wrong = verdict.get();
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

QTEST_GUILESS_MAIN(TestWireAuth)
#include "tst_wireauth.moc"
