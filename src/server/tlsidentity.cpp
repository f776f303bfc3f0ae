#include "tlsidentity.h"

#include "error.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <thread>

namespace kmp::server {

namespace {

// Hands each accepted connection's descriptor to the test below.
class OneShotListener : public QTcpServer
{
public:
    qintptr descriptor = -1;

protected:
    void incomingConnection(qintptr socketDescriptor) override { descriptor = socketDescriptor; }
};

// One TLS handshake with itself over loopback, as a station would do it. A key that does
// not belong to the certificate only shows when the TLS library sets up a connection, so
// this is the one way to find it before the first station times out on it.
QString handshakeFailure(const TlsIdentity &id)
{
    OneShotListener listener;
    if (!listener.listen(QHostAddress::LocalHost, 0))
        return {}; // no loopback to test on: the stations' handshakes will tell
    const quint16 port = listener.serverPort();
    // The station's side runs on a thread of its own, each side blocking on its own socket.
    std::thread station([port]() {
        QSslSocket client;
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setPeerVerifyMode(QSslSocket::VerifyNone);
        client.setSslConfiguration(conf);
        client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        // The server side ends the test: closing first here could fail its handshake.
        if (client.waitForEncrypted(5000))
            client.waitForDisconnected(5000);
    });
    QString why;
    if (listener.waitForNewConnection(5000) && listener.descriptor >= 0) {
        QSslSocket server;
        if (server.setSocketDescriptor(listener.descriptor)) {
            server.setSslConfiguration(id.serverConfiguration());
            // The first failure is the reason; a later wait that times out must not hide it.
            QObject::connect(&server, &QAbstractSocket::errorOccurred, [&](QAbstractSocket::SocketError e) {
                if (why.isEmpty() && e != QAbstractSocket::SocketTimeoutError)
                    why = server.errorString();
            });
            server.startServerEncryption();
            // No answer in time on a busy machine proves nothing: only a refusal stops
            // the start.
            if (why.isEmpty() && !server.waitForEncrypted(5000) && !server.isEncrypted() && why.isEmpty()
                && server.error() != QAbstractSocket::SocketTimeoutError)
                why = server.errorString();
            server.abort();
        }
    }
    station.join();
    return why;
}

} // namespace

TlsIdentity TlsIdentity::load(const QString &certFile, const QString &keyFile, QStringList *warnings)
{
    if (!QSslSocket::supportsSsl())
        throw kmp::Error(QStringLiteral("Este sistema não tem suporte a TLS (biblioteca OpenSSL ausente)."));
    TlsIdentity id;
    id.chain = QSslCertificate::fromPath(certFile, QSsl::Pem);
    if (id.chain.isEmpty())
        throw kmp::Error(
            QStringLiteral("O arquivo %1 (--tls-cert) não pôde ser lido ou não contém um certificado PEM.").arg(certFile));
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly))
        throw kmp::Error(
            QStringLiteral("Não foi possível ler a chave privada %1 (--tls-key): %2").arg(keyFile, file.errorString()));
    if (warnings && (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther)))
        *warnings << QStringLiteral("aviso: a chave privada %1 pode ser lida por outros usuários (chmod 600)").arg(keyFile);
    const QByteArray pem = file.readAll();
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) {
            id.key = key;
            break;
        }
    }
    if (id.key.isNull())
        throw kmp::Error(
            QStringLiteral("A chave privada %1 (--tls-key) não pôde ser lida (PEM sem senha, RSA ou EC).").arg(keyFile));
    const QString why = handshakeFailure(id);
    if (!why.isEmpty())
        throw kmp::Error(
            why.contains(QLatin1String("does not certify"), Qt::CaseInsensitive)
                    || why.contains(QLatin1String("mismatch"), Qt::CaseInsensitive)
                ? QStringLiteral("A chave privada %1 (--tls-key) não corresponde ao certificado %2 "
                                 "(--tls-cert): nenhuma estação conseguiria se conectar. Informe a "
                                 "chave do certificado.")
                      .arg(keyFile, certFile)
                : QStringLiteral("O certificado %1 e a chave %2 não servem para TLS: %3").arg(certFile, keyFile, why.left(300)));
    return id;
}

QSslConfiguration TlsIdentity::serverConfiguration() const
{
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setLocalCertificateChain(chain);
    conf.setPrivateKey(key);
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    conf.setPeerVerifyMode(QSslSocket::VerifyNone);
    return conf;
}

} // namespace kmp::server
