#include "connectionworker.h"

#include "auth.h"
#include "dbconnection.h"
#include "dispatcher.h"
#include "frame.h"
#include "keythrottle.h"
#include "ping.h"
#include "serviceerror.h"
#include "store.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <memory>

namespace kmp::server {

namespace {

// Waits until everything written has left, bounded so that a client that stops reading
// cannot hold the thread for ever.
bool flush(QTcpSocket &socket)
{
    QElapsedTimer timer;
    timer.start();
    while (socket.bytesToWrite() > 0) {
        if (timer.elapsed() > 60000 || !socket.waitForBytesWritten(1000)) {
            if (socket.state() != QAbstractSocket::ConnectedState || timer.elapsed() > 60000)
                return false;
        }
    }
    return true;
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 4);
}

} // namespace

void ConnectionWorker::refuse(const QString &peer, const QString &why)
{
    m_settings.warn(QStringLiteral("conexão #%1 de %2 recusada: %3").arg(m_number).arg(peer, why));
}

bool ConnectionWorker::startTls(QTcpSocket &socket, const QString &peer, const std::atomic<bool> &stop)
{
    auto &ssl = static_cast<QSslSocket &>(socket);
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setLocalCertificateChain(m_settings.tls->chain);
    conf.setPrivateKey(m_settings.tls->key);
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    // Stations prove who they are with their client key, not with certificates.
    conf.setPeerVerifyMode(QSslSocket::VerifyNone);
    ssl.setSslConfiguration(conf);
    ssl.startServerEncryption();
    QElapsedTimer timer;
    timer.start();
    while (!ssl.isEncrypted()) {
        if (stop.load())
            return false;
        if (timer.elapsed() > m_settings.frameDeadlineMs) {
            refuse(peer, QStringLiteral("TLS não concluído em %1 s (limite --frame-deadline)")
                             .arg(seconds(m_settings.frameDeadlineMs)));
            return false;
        }
        if (!ssl.waitForEncrypted(250) && ssl.state() != QAbstractSocket::ConnectedState) {
            QString why = ssl.errorString();
            if (!ssl.sslHandshakeErrors().isEmpty())
                why = ssl.sslHandshakeErrors().first().errorString();
            refuse(peer, QStringLiteral("falha no TLS (%1)").arg(why.left(200)));
            return false;
        }
    }
    return true;
}

QString ConnectionWorker::authenticate(QTcpSocket &socket, const QString &peer, const std::atomic<bool> &stop)
{
    // An address that keeps presenting wrong keys waits before each new challenge, so
    // guessing gets slower with every try; other addresses are not held up.
    const QString address = socket.peerAddress().toString();
    if (const qint64 wait = KeyThrottle::global().delayFor(address, QDeadlineTimer::current().deadline())) {
        m_settings.warn(QStringLiteral("conexão #%1 de %2: chaves recusadas repetidamente deste endereço; desafio "
                                       "atrasado %3 s")
                            .arg(m_number)
                            .arg(peer, seconds(int(wait))));
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < wait) {
            if (stop.load())
                return {};
            QThread::msleep(50);
        }
    }
    const QByteArray nonce = wire::auth::newNonce();
    socket.write(wire::frame(wire::auth::encodeChallenge(nonce)));
    if (!flush(socket)) {
        refuse(peer, QStringLiteral("cliente não leu o desafio da chave"));
        return {};
    }
    // The answer is small: it must be whole within the frame deadline from now, and may
    // not be anything near the request limit.
    wire::FrameReader reader(1024);
    QElapsedTimer timer;
    timer.start();
    std::optional<QByteArray> body;
    while (!body) {
        if (stop.load())
            return {};
        if (timer.elapsed() > m_settings.frameDeadlineMs) {
            refuse(peer, QStringLiteral("chave de cliente não apresentada em %1 s (limite --frame-deadline)")
                             .arg(seconds(m_settings.frameDeadlineMs)));
            return {};
        }
        // Bytes that came with the end of the TLS handshake are already buffered and
        // would not wake waitForReadyRead.
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(250)) {
            if (socket.state() != QAbstractSocket::ConnectedState) {
                refuse(peer, QStringLiteral("cliente desconectou antes de apresentar a chave"));
                return {};
            }
            continue;
        }
        reader.append(socket.readAll());
        body = reader.next();
        if (reader.isBroken())
            break;
    }
    const auto answer = body ? wire::auth::decodeAnswer(*body) : std::nullopt;
    if (!answer && body) {
        // A health probe needs no key; it is answered and the connection closed.
        if (const auto pong = Ping::answer(*body, m_settings.database)) {
            socket.write(wire::frame(wire::encodeResponse(*pong)));
            flush(socket);
            m_settings.log(QStringLiteral("conexão #%1 de %2: ping").arg(m_number).arg(peer));
            return {};
        }
    }
    QString why;
    QString name;
    if (!answer) {
        why = QStringLiteral("sem chave de cliente (o primeiro pedido não foi a resposta ao desafio)");
    } else {
        name = answer->keyName;
        const auto secret = m_settings.keys->secret(name);
        // An unknown name costs the same work as a known one, so that timing does not
        // tell which names exist.
        const QByteArray expected = wire::auth::mac(secret.value_or(QByteArray(32, '\0')), nonce);
        const bool match = wire::auth::equalConstantTime(expected, answer->mac);
        if (!secret)
            why = QStringLiteral("chave de cliente desconhecida \"%1\"")
                      .arg(wire::auth::isValidKeyName(name) ? name : QStringLiteral("(nome inválido)"));
        else if (!match)
            why = QStringLiteral("chave de cliente \"%1\" não confere").arg(name);
    }
    if (!why.isEmpty()) {
        refuse(peer, why);
        const int failures = KeyThrottle::global().recordFailure(address, QDeadlineTimer::current().deadline());
        if (failures >= KeyThrottle::FreeFailures)
            m_settings.warn(QStringLiteral("%1 chaves recusadas de %2 em %3 min; as próximas conexões desse endereço "
                                           "esperam %4 s pelo desafio")
                                .arg(failures)
                                .arg(address)
                                .arg(KeyThrottle::WindowMs / 60000)
                                .arg(seconds(int(KeyThrottle::global().delayFor(
                                    address, QDeadlineTimer::current().deadline())))));
        const auto r = wire::Response::failure(0, wire::ErrorCode::Unauthorized,
                                               QStringLiteral("Chave de cliente recusada pelo servidor."));
        socket.write(wire::frame(wire::encodeResponse(r)));
        flush(socket);
        return {};
    }
    KeyThrottle::global().recordSuccess(address);
    socket.write(wire::frame(wire::encodeResponse(wire::Response::success(0, QCborValue(name)))));
    if (!flush(socket))
        return {};
    return name;
}

void ConnectionWorker::run(qintptr socketDescriptor, const std::atomic<bool> &stop)
{
    std::unique_ptr<QTcpSocket> owned;
    if (m_settings.tls)
        owned = std::make_unique<QSslSocket>();
    else
        owned = std::make_unique<QTcpSocket>();
    QTcpSocket &socket = *owned;
    if (!socket.setSocketDescriptor(socketDescriptor)) {
        m_settings.log(QStringLiteral("conexão #%1 recusada: %2").arg(m_number).arg(socket.errorString()));
        return;
    }
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QString peer = QStringLiteral("%1:%2").arg(socket.peerAddress().toString()).arg(socket.peerPort());
    const auto closeNow = [&]() {
        socket.disconnectFromHost();
        if (socket.state() != QAbstractSocket::UnconnectedState)
            socket.waitForDisconnected(1000);
    };

    if (m_settings.tls && !startTls(socket, peer, stop)) {
        socket.abort();
        return;
    }
    QString identity = QStringLiteral("local");
    if (m_settings.keys) {
        identity = authenticate(socket, peer, stop);
        if (identity.isEmpty()) {
            closeNow();
            return;
        }
    }
    m_settings.log(QStringLiteral("conexão #%1 aberta de %2 (chave %3%4)")
                       .arg(m_number)
                       .arg(peer, identity, m_settings.tls ? QStringLiteral(", TLS") : QString()));

    std::unique_ptr<DbConnection> db;
    std::unique_ptr<Store> store;
    Dispatcher dispatcher([&]() -> Store & {
        if (db && db->isBroken()) {
            store.reset();
            db.reset();
        }
        if (!db) {
            db = std::make_unique<DbConnection>(m_settings.database);
            store = std::make_unique<Store>(*db);
        }
        return *store;
    });
    dispatcher.setCaller(identity, socket.peerAddress().toString());
    // Only the first line of a refusal goes to the log: database drivers may add detail
    // lines that quote the row, and patient data stays out of logs.
    dispatcher.onRefused = [&](const wire::Request &req, const wire::Response &resp) {
        m_settings.log(QStringLiteral("conexão #%1: pedido %2 (%3) recusado: %4 %5")
                           .arg(m_number)
                           .arg(req.id)
                           .arg(req.method.left(40).isEmpty() ? QStringLiteral("?") : req.method.left(40))
                           .arg(resp.errorCode)
                           .arg(resp.errorMessage.section(QLatin1Char('\n'), 0, 0)));
    };

    wire::FrameReader reader(m_settings.maxFrame);
    QString why = QStringLiteral("cliente desconectou");
    quint64 served = 0;
    // Idle: time since the last answer (or the start) with nothing pending. A frame whose
    // first bytes arrived must be whole within the frame deadline, so a client trickling
    // bytes cannot hold a thread and a database connection for ever.
    QElapsedTimer idle;
    idle.start();
    QElapsedTimer frameStarted;
    bool inFrame = false;
    while (!stop.load()) {
        if (socket.waitForReadyRead(250)) {
            reader.append(socket.readAll());
        } else if (socket.state() != QAbstractSocket::ConnectedState) {
            break;
        }
        bool broken = false;
        while (auto body = reader.next()) {
            // Only a tiny frame can be a health probe; the others go straight on.
            const auto pong = body->size() < 256 ? Ping::answer(*body, m_settings.database) : std::nullopt;
            const wire::Response response = pong ? *pong : dispatcher.handleBody(*body);
            ++served;
            socket.write(wire::frame(wire::encodeResponse(response)));
            if (!flush(socket)) {
                broken = true;
                why = QStringLiteral("cliente parou de ler");
                break;
            }
            idle.restart();
            inFrame = false;
        }
        if (reader.isBroken()) {
            // The stream cannot be resynchronised after an oversized length: answer once,
            // then close.
            const auto r = wire::Response::failure(
                0, wire::ErrorCode::TooLarge,
                QStringLiteral("Mensagem de %1 bytes excede o limite de %2 bytes.").arg(reader.brokenLength()).arg(m_settings.maxFrame));
            m_settings.warn(QStringLiteral("conexão #%1 de %2: pedido recusado: %3 %4 (limite --max-frame)")
                               .arg(m_number)
                               .arg(peer)
                               .arg(r.errorCode)
                               .arg(r.errorMessage));
            socket.write(wire::frame(wire::encodeResponse(r)));
            flush(socket);
            why = QStringLiteral("mensagem grande demais");
            broken = true;
        }
        if (broken)
            break;
        if (reader.inFrame()) {
            if (!inFrame) {
                inFrame = true;
                frameStarted.start();
            } else if (frameStarted.elapsed() > m_settings.frameDeadlineMs) {
                m_settings.warn(QStringLiteral("conexão #%1 de %2 encerrada: mensagem incompleta após %3 s "
                                              "(%4 bytes recebidos; limite --frame-deadline)")
                                   .arg(m_number)
                                   .arg(peer, seconds(m_settings.frameDeadlineMs))
                                   .arg(reader.buffered()));
                why = QStringLiteral("mensagem lenta demais");
                break;
            }
        } else if (idle.elapsed() > m_settings.idleTimeoutMs) {
            m_settings.warn(QStringLiteral("conexão #%1 de %2 encerrada: inativa por %3 s (limite --idle-timeout)")
                               .arg(m_number)
                               .arg(peer, seconds(m_settings.idleTimeoutMs)));
            why = QStringLiteral("inativa");
            break;
        }
    }
    if (stop.load())
        why = QStringLiteral("servidor encerrando");
    closeNow();
    store.reset();
    db.reset();
    m_settings.log(QStringLiteral("conexão #%1 fechada (%2; %3 pedidos)").arg(m_number).arg(why).arg(served));
}

} // namespace kmp::server
