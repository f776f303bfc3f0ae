// Who may talk to the server, and what it does to those who may not: client keys, TLS
// with a verified certificate, the limits on connections, idle time, slow and oversized
// frames, and the refusals at start-up. Every refusal must leave a log line naming the
// address and the limit, must never log a secret, and must leave the server serving
// everyone else.

#include "auth.h"
#include "frame.h"
#include "serverharness.h"
#include "socketframes.h"

#include <QCborArray>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QtEndian>
#include <thread>

using namespace kmp;
using namespace kmp::test;

namespace {

const QStringList kLimits{QStringLiteral("--frame-deadline"), QStringLiteral("1"),
                          QStringLiteral("--idle-timeout"),   QStringLiteral("2"),
                          QStringLiteral("--max-frame"),      QStringLiteral("4096")};

wire::Request tipoLaudo()
{
    return request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")});
}

// A TLS connection by hand, for sending what a proper client never would.
std::unique_ptr<QSslSocket> rawTls(quint16 port, const QString &ca)
{
    auto s = std::make_unique<QSslSocket>();
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setCaCertificates(QSslCertificate::fromPath(ca));
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    s->setSslConfiguration(conf);
    s->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!s->waitForEncrypted(5000))
        return nullptr;
    return s;
}

bool authenticate(QTcpSocket &s, const QByteArray &secret = kSecret)
{
    wire::FrameReader reader;
    const auto challenge = readFrame(s, reader);
    if (!challenge)
        return false;
    const auto nonce = wire::auth::decodeChallenge(*challenge);
    if (!nonce)
        return false;
    s.write(wire::frame(wire::auth::encodeAnswer({kKeyName, wire::auth::mac(secret, *nonce)})));
    const auto ack = readFrame(s, reader);
    return ack && wire::decodeResponse(*ack).ok;
}

} // namespace

class TestServerSecurity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void refusedAndServerUnharmed_data();
    void refusedAndServerUnharmed();
    void connectionLimit();
    void startupRefusals_data();
    void startupRefusals();
    void kmpCallWithKeyAndTls_data();
    void kmpCallWithKeyAndTls();

private:
    TestCertificates m_certs;
    QTemporaryDir m_dir;
    QString m_keys;
    bool m_haveCerts = false;
    QString m_noCertsWhy;
};

void TestServerSecurity::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_keys = writeKeyFile(m_dir);
    QVERIFY(!m_keys.isEmpty());
    m_haveCerts = m_certs.create(&m_noCertsWhy);
    if (!m_haveCerts)
        qWarning("TLS cases will be skipped: %s", qPrintable(m_noCertsWhy));
}

void TestServerSecurity::refusedAndServerUnharmed_data()
{
    QTest::addColumn<QString>("attempt");
    QTest::addColumn<QString>("clientError"); // what the refused client is told ("" for raw sockets)
    QTest::addColumn<QStringList>("logLine"); // parts of the server's log line about it
    QTest::newRow("client without a key") << "nokey"
                                          << "O servidor exige uma chave de cliente" << QStringList{"127.0.0.1", "recusada"};
    QTest::newRow("wrong secret") << "wrongsecret"
                                  << "Chave de cliente recusada pelo servidor."
                                  << QStringList{"127.0.0.1", "recusada", "chave de cliente \"consultorio-3\" não confere"};
    QTest::newRow("unknown key name") << "unknownkey"
                                      << "Chave de cliente recusada pelo servidor."
                                      << QStringList{"127.0.0.1", "recusada", "desconhecida"};
    QTest::newRow("certificate from an unrelated CA")
        << "rogueca"
        << "Certificado do servidor não confiável" << QStringList{"127.0.0.1", "recusada", "falha no TLS"};
    QTest::newRow("certificate for another host name")
        << "otherhost"
        << "Certificado do servidor não confiável" << QStringList{"127.0.0.1", "recusada", "falha no TLS"};
    QTest::newRow("plain client to a TLS server")
        << "plain"
        << "exige conexão segura (TLS)" << QStringList{"127.0.0.1", "recusada", "estação sem TLS"};
    QTest::newRow("plain client without a key to a TLS server")
        << "plainnokey"
        << "exige conexão segura (TLS)" << QStringList{"127.0.0.1", "recusada", "estação sem TLS"};
    QTest::newRow("key never presented") << "silent"
                                         << "" << QStringList{"127.0.0.1", "recusada", "limite --frame-deadline"};
    QTest::newRow("frame arriving slowly") << "slow"
                                           << "" << QStringList{"127.0.0.1", "mensagem incompleta", "limite --frame-deadline"};
    QTest::newRow("frame over the size limit") << "large"
                                               << "" << QStringList{"127.0.0.1", "excede o limite de 4096", "limite --max-frame"};
    QTest::newRow("idle connection, then the client's next call")
        << "idle"
        << "" << QStringList{"127.0.0.1", "inativa por 2 s", "limite --idle-timeout"};
}

void TestServerSecurity::refusedAndServerUnharmed()
{
    QFETCH(QString, attempt);
    QFETCH(QString, clientError);
    QFETCH(QStringList, logLine);
    if (!m_haveCerts)
        QSKIP(qPrintable(m_noCertsWhy));
    const QString db = QStringLiteral("sqlite:") + m_dir.filePath(QStringLiteral("security.db"));
    const bool otherHost = attempt == QLatin1String("otherhost");
    ServerProcess server;
    QVERIFY(server.start(db, (otherHost ? m_certs.otherHostOptions() : m_certs.serverOptions())
                                 + QStringList{QStringLiteral("--keys"), m_keys} + kLimits));

    const auto proper = [&](wire::Client &c) {
        configureClient(c, server.port());
        c.setTls(true, m_certs.ca());
        c.setCredentials(kKeyName, kSecret);
    };

    if (!clientError.isEmpty() || attempt == QLatin1String("plain")) {
        wire::Client c;
        proper(c);
        if (attempt == QLatin1String("nokey"))
            c.setCredentials(QString(), QByteArray());
        else if (attempt == QLatin1String("wrongsecret"))
            c.setCredentials(kKeyName, QByteArrayLiteral("nao-e-esta-a-senha-certa"));
        else if (attempt == QLatin1String("unknownkey"))
            c.setCredentials(QStringLiteral("intruso"), kSecret);
        else if (attempt == QLatin1String("rogueca"))
            c.setTls(true, m_certs.rogueCa());
        else if (attempt == QLatin1String("plain"))
            c.setTls(false, QString());
        else if (attempt == QLatin1String("plainnokey")) {
            c.setTls(false, QString());
            c.setCredentials(QString(), QByteArray());
        }
        try {
            c.call(tipoLaudo());
            QFAIL("the server answered a client it should have refused");
        } catch (const wire::ConnectionError &e) {
            QVERIFY2(e.userMessage().contains(clientError), qPrintable(e.userMessage()));
        }
        QVERIFY(!c.isConnected());
    } else if (attempt == QLatin1String("idle")) {
        // The server closes an idle connection; the client notices before its next call
        // and connects again instead of failing.
        wire::Client c;
        proper(c);
        QVERIFY(c.call(tipoLaudo()).ok);
        QVERIFY2(server.waitForLogLine(logLine, 8000), server.log().constData());
        QVERIFY(c.call(tipoLaudo()).ok);
    } else {
        auto s = rawTls(server.port(), m_certs.ca());
        QVERIFY(s);
        if (attempt == QLatin1String("silent")) {
            wire::FrameReader reader;
            QVERIFY(readFrame(*s, reader)); // the challenge, left unanswered
        } else {
            QVERIFY(authenticate(*s));
            if (attempt == QLatin1String("slow")) {
                QByteArray head(4, '\0');
                qToBigEndian<quint32>(100, head.data());
                s->write(head + QByteArray(10, 'x'));
                s->flush();
            } else if (attempt == QLatin1String("large")) {
                QByteArray head(4, '\0');
                qToBigEndian<quint32>(100000, head.data());
                s->write(head + QByteArray(64, 'x'));
                wire::FrameReader reader;
                const auto body = readFrame(*s, reader);
                QVERIFY(body);
                QCOMPARE(wire::decodeResponse(*body).errorCode, int(wire::ErrorCode::TooLarge));
            }
        }
        QVERIFY2(waitClosed(*s, 8000), "the server kept the connection open");
    }
    QVERIFY2(server.waitForLogLine(logLine, 8000), server.log().constData());

    // Still serving: a proper client is answered (for the other-host certificate no
    // proper client exists, so a raw one that skips the name check stands in).
    QVERIFY(server.isRunning());
    if (otherHost) {
        auto s = std::make_unique<QSslSocket>();
        s->setPeerVerifyMode(QSslSocket::VerifyNone);
        s->connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(s->waitForEncrypted(5000));
        QVERIFY(authenticate(*s));
    } else {
        wire::Client after;
        proper(after);
        const wire::Response r = after.call(tipoLaudo());
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
    }
    const QByteArray log = server.log();
    QVERIFY2(!log.contains(kSecret) && !log.contains("nao-e-esta-a-senha-certa"), "a secret reached the log");
}

void TestServerSecurity::connectionLimit()
{
    const QString db = QStringLiteral("sqlite:") + m_dir.filePath(QStringLiteral("limit.db"));
    ServerProcess server;
    QVERIFY(server.start(db, {QStringLiteral("--max-connections"), QStringLiteral("2")}));
    auto first = std::make_unique<wire::Client>();
    wire::Client second;
    for (wire::Client *c : {first.get(), &second}) {
        configureClient(*c, server.port());
        QVERIFY(c->call(tipoLaudo()).ok);
    }
    wire::Client third;
    configureClient(third, server.port());
    try {
        third.call(tipoLaudo());
        QFAIL("a third connection was served");
    } catch (const wire::ConnectionError &e) {
        QVERIFY2(e.userMessage().contains(QStringLiteral("número máximo de conexões (2)")), qPrintable(e.userMessage()));
    }
    QVERIFY2(server.waitForLogLine({"127.0.0.1", "recusada", "limite de 2 conexões", "--max-connections"}),
             server.log().constData());
    QVERIFY(second.call(tipoLaudo()).ok);

    // Once a client leaves, its place is free again.
    first.reset();
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        try {
            served = third.call(tipoLaudo()).ok;
        } catch (const wire::ConnectionError &) {
            QTest::qWait(100);
        }
    }
    QVERIFY(served);
}

void TestServerSecurity::startupRefusals_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QStringList>("options"); // KEYS, CERT and BADKEYS are replaced
    QTest::addColumn<QStringList>("says");
    QTest::newRow("network address, neither TLS nor keys")
        << "0.0.0.0:0" << QStringList{} << QStringList{"Recusado escutar em 0.0.0.0", "refusing to listen"};
    QTest::newRow("network address, TLS without keys")
        << "0.0.0.0:0" << QStringList{"CERT"} << QStringList{"Recusado escutar", "chaves de cliente (--keys)"};
    QTest::newRow("network address, keys without TLS")
        << "0.0.0.0:0" << QStringList{"--keys", "KEYS"} << QStringList{"Recusado escutar", "TLS (--tls-cert"};
    QTest::newRow("key file others can read")
        << "127.0.0.1:0" << QStringList{"--keys", "BADKEYS:readable"} << QStringList{"chmod 600", "group/others"};
    QTest::newRow("key file with a short secret")
        << "127.0.0.1:0" << QStringList{"--keys", "BADKEYS:short"} << QStringList{"linha 2", "curto demais"};
    QTest::newRow("key file line without a colon")
        << "127.0.0.1:0" << QStringList{"--keys", "BADKEYS:nocolon"} << QStringList{"linha 1", "NOME:SEGREDO"};
    QTest::newRow("key file naming a key twice")
        << "127.0.0.1:0" << QStringList{"--keys", "BADKEYS:twice"} << QStringList{"linha 2", "mais de uma vez"};
    QTest::newRow("key that does not belong to the certificate")
        << "127.0.0.1:0" << QStringList{"--tls-cert", "CERTFILE", "--tls-key", "OTHERKEY"}
        << QStringList{"não corresponde ao certificado"};
    QTest::newRow("certificate without its key")
        << "127.0.0.1:0" << QStringList{"--tls-cert", "CERTFILE"} << QStringList{"--tls-cert e --tls-key juntos"};
}

void TestServerSecurity::startupRefusals()
{
    QFETCH(QString, listen);
    QFETCH(QStringList, options);
    QFETCH(QStringList, says);
    QStringList args{QStringLiteral("serve"), QStringLiteral("--listen"), listen, QStringLiteral("--database"),
                     QStringLiteral("sqlite:") + m_dir.filePath(QStringLiteral("refusals.db"))};
    for (const QString &o : options) {
        if (o == QLatin1String("KEYS")) {
            args << m_keys;
        } else if (o == QLatin1String("CERT") || o == QLatin1String("CERTFILE")) {
            if (!m_haveCerts)
                QSKIP(qPrintable(m_noCertsWhy));
            args << (o == QLatin1String("CERT") ? m_certs.serverOptions() : QStringList{m_certs.path("server.pem")});
        } else if (o == QLatin1String("OTHERKEY")) {
            if (!m_haveCerts)
                QSKIP(qPrintable(m_noCertsWhy));
            args << m_certs.path("other-host.key");
        } else if (o.startsWith(QLatin1String("BADKEYS:"))) {
            const QString kind = o.mid(8);
            const QByteArray content = kind == QLatin1String("short")     ? QByteArray("# x\nfraca:123456\n")
                                       : kind == QLatin1String("nocolon") ? QByteArray("sem-dois-pontos\n")
                                       : kind == QLatin1String("twice")   ? QByteArray("a:0123456789abcdef\na:0123456789abcdef\n")
                                                                          : QByteArray("a:0123456789abcdef\n");
            args << writeKeyFile(m_dir, content,
                                 kind == QLatin1String("readable") ? QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                         | QFileDevice::ReadGroup | QFileDevice::ReadOther
                                                                   : QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        } else {
            args << o;
        }
    }
    const ToolRun r = runTool(binary("kmp-appserver"), args, {}, 20000);
    QVERIFY2(r.exitCode != 0 && r.exitCode != -1, r.err.constData());
    QVERIFY2(!r.out.contains("listening on"), r.out.constData());
    for (const QString &s : says)
        QVERIFY2(QString::fromUtf8(r.err).contains(s), r.err.constData());
    QVERIFY(!r.err.contains("0123456789abcdef"));
}

void TestServerSecurity::kmpCallWithKeyAndTls_data()
{
    QTest::addColumn<QStringList>("options"); // CA, ROGUE, KEYFILE replaced
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    const QString good = kKeyName + QLatin1Char(':') + QString::fromUtf8(kSecret);
    QTest::newRow("key name and key file") << QStringList{"--tls", "--ca", "CA", "--key-name", kKeyName, "--key-file", "KEYFILE"}
                                           << QStringList{} << 0 << "\"fields\"";
    QTest::newRow("key in the environment") << QStringList{"--tls", "--ca", "CA"} << QStringList{"KMP_CALL_KEY=" + good} << 0
                                            << "\"fields\"";
    QTest::newRow("wrong key") << QStringList{"--tls", "--ca", "CA", "--key", kKeyName + ":uma-senha-qualquer-errada"}
                               << QStringList{} << 1 << "Chave de cliente recusada pelo servidor.";
    QTest::newRow("no key") << QStringList{"--tls", "--ca", "CA"} << QStringList{} << 3 << "exige uma chave de cliente";
    QTest::newRow("untrusted certificate") << QStringList{"--tls", "--ca", "ROGUE", "--key", good} << QStringList{} << 3
                                           << "Certificado do servidor não confiável";
    QTest::newRow("--ca without --tls") << QStringList{"--ca", "CA", "--key", good} << QStringList{} << 2 << "--tls";
}

void TestServerSecurity::kmpCallWithKeyAndTls()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, env);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    if (!m_haveCerts)
        QSKIP(qPrintable(m_noCertsWhy));
    ServerProcess server;
    QVERIFY(server.start(QStringLiteral("sqlite:") + m_dir.filePath(QStringLiteral("call.db")),
                         m_certs.serverOptions() + QStringList{QStringLiteral("--keys"), m_keys}));
    QFile secretFile(m_dir.filePath(QStringLiteral("secret")));
    QVERIFY(secretFile.open(QIODevice::WriteOnly));
    secretFile.write(kSecret + "\n");
    secretFile.close();
    QStringList args{QStringLiteral("--server"), QStringLiteral("127.0.0.1:%1").arg(server.port())};
    for (const QString &o : options)
        args << (o == QLatin1String("CA")        ? m_certs.ca()
                 : o == QLatin1String("ROGUE")   ? m_certs.rogueCa()
                 : o == QLatin1String("KEYFILE") ? secretFile.fileName()
                                                 : o);
    args << QStringLiteral("GetTipoLaudo") << QStringLiteral("\"\"") << QStringLiteral("T");
    const ToolRun r = runTool(binary("kmp-call"), args, env);
    QVERIFY2(r.exitCode == exitCode, r.err.constData());
    QVERIFY2(QString::fromUtf8(exitCode == 0 ? r.out : r.err).contains(says), (r.out + r.err).constData());
}

QTEST_GUILESS_MAIN(TestServerSecurity)
#include "tst_serversecurity.moc"
