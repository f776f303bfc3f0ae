#include "connectionworker.h"

#include "auth.h"
#include "bytebudget.h"
#include "connectionlimits.h"
#include "dbpool.h"
#include "dispatcher.h"
#include "error.h"
#include "frame.h"
#include "keythrottle.h"
#include "ping.h"
#include "serviceerror.h"
#include "store.h"
#include "tlsprobe.h"

#include <QCborStreamReader>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>
#include <QtEndian>
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

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}

// The id of a request from the first bytes of its body (the encoder writes "id" first),
// so that a request refused before it was read can still be answered in order; 0 when
// those bytes do not start a request.
qint64 requestIdFromPrefix(const QByteArray &prefix)
{
    QCborStreamReader reader(prefix);
    if (!reader.isMap() || !reader.enterContainer() || !reader.isString())
        return 0;
    QString key;
    auto chunk = reader.readString();
    while (chunk.status == QCborStreamReader::Ok) {
        key += chunk.data;
        chunk = reader.readString();
    }
    if (chunk.status != QCborStreamReader::EndOfString || key != QLatin1String("id") || !reader.isInteger())
        return 0;
    return reader.toInteger();
}

// A save writes; every other method only reads.
DbPool::Access accessOf(const QString &method)
{
    return method.startsWith(QLatin1String("Set")) ? DbPool::Access::Write : DbPool::Access::Read;
}

} // namespace

void ConnectionWorker::refuseOverTls(qintptr socketDescriptor, const TlsIdentity &tls, const QByteArray &frame, int deadlineMs)
{
    QSslSocket socket;
    if (!socket.setSocketDescriptor(socketDescriptor))
        return;
    socket.setSslConfiguration(tls.serverConfiguration());
    socket.startServerEncryption();
    if (socket.waitForEncrypted(deadlineMs)) {
        socket.write(frame);
        socket.waitForBytesWritten(deadlineMs);
        socket.disconnectFromHost();
        if (socket.state() != QAbstractSocket::UnconnectedState)
            socket.waitForDisconnected(1000);
    }
    socket.abort();
}

bool ConnectionWorker::evicted() const
{
    return m_settings.eviction && m_settings.limits && m_settings.eviction->load();
}

void ConnectionWorker::refuse(const QString &peer, const QString &why)
{
    m_settings.warn(QStringLiteral("conexão #%1 de %2 recusada: %3").arg(m_number).arg(peer, why));
}

bool ConnectionWorker::startTls(QTcpSocket &socket, const QString &peer, const std::atomic<bool> &stop)
{
    auto &ssl = static_cast<QSslSocket &>(socket);
    ssl.setSslConfiguration(m_settings.tls->serverConfiguration());
    ssl.startServerEncryption();
    while (!ssl.isEncrypted()) {
        if (stop.load())
            return false;
        if (evicted()) {
            refuse(peer, m_settings.limits->describeEviction());
            return false;
        }
        if (m_handshakeDeadline.hasExpired()) {
            refuse(
                peer,
                QStringLiteral("TLS não concluído em %1 s (limite %2)").arg(seconds(m_handshakeLimitMs), m_handshakeLimitName));
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

bool ConnectionWorker::stationSpeaksTls(QTcpSocket &socket, qintptr descriptor, const QString &peer)
{
    // A TLS station opens with its handshake at once. A station set up without TLS either
    // sends a request or, holding a client key, waits for the key challenge: both would
    // otherwise meet a server waiting for a handshake that never comes.
    const Opening opening = peekOpening(descriptor, std::min(1500, m_settings.frameDeadlineMs));
    if (opening == Opening::Tls)
        return true;
    if (opening == Opening::Closed) {
        refuse(peer, QStringLiteral("cliente desconectou antes do TLS"));
        return false;
    }
    refuse(peer, QStringLiteral("estação sem TLS (este servidor exige TLS)"));
    const auto r = wire::Response::failure(0, wire::ErrorCode::BadRequest, tlsRequiredMessage());
    socket.write(wire::frame(wire::encodeResponse(r)));
    flush(socket);
    return false;
}

QString ConnectionWorker::authenticate(QTcpSocket &socket, const QString &peer, const std::atomic<bool> &stop)
{
    const QString address = socket.peerAddress().toString();
    const QByteArray nonce = wire::auth::newNonce();
    socket.write(wire::frame(wire::auth::encodeChallenge(nonce)));
    if (!flush(socket)) {
        refuse(peer, QStringLiteral("cliente não leu o desafio da chave"));
        return {};
    }
    // The answer is small: it must be whole within the handshake deadline, and may not
    // be anything near the request limit.
    wire::FrameReader reader(1024);
    std::optional<QByteArray> body;
    while (!body) {
        if (stop.load())
            return {};
        if (evicted()) {
            refuse(peer, m_settings.limits->describeEviction());
            return {};
        }
        if (m_handshakeDeadline.hasExpired()) {
            refuse(peer, QStringLiteral("chave de cliente não apresentada em %1 s (limite %2)")
                             .arg(seconds(m_handshakeLimitMs), m_handshakeLimitName));
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
    // A name that keeps being presented with wrong secrets from one address makes every
    // answer for it from there wait before it is checked, so guessing gets slower with
    // every try; the wait stays well inside a station's own, so the right key still gets in.
    const qint64 wait =
        answer ? KeyThrottle::global().delayFor(address, answer->keyName, QDeadlineTimer::current().deadline()) : 0;
    if (wait > 0) {
        m_settings.warn(
            QStringLiteral("conexão #%1 de %2: chave \"%3\" recusada repetidamente deste endereço; resposta "
                           "atrasada %4 s")
                .arg(m_number)
                .arg(peer, wire::auth::isValidKeyName(answer->keyName) ? answer->keyName : QStringLiteral("(nome inválido)"),
                     seconds(int(wait))));
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < wait) {
            if (stop.load() || evicted())
                return {};
            QThread::msleep(50);
        }
    }
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
        if (answer) {
            const qint64 now = QDeadlineTimer::current().deadline();
            const int failures = KeyThrottle::global().recordFailure(address, name, now);
            if (failures >= KeyThrottle::FreeFailures)
                m_settings.warn(QStringLiteral("%1 chaves recusadas de %2 para o nome \"%3\" em %4 min; as próximas "
                                               "respostas com esse nome desse endereço esperam %5 s")
                                    .arg(failures)
                                    .arg(address, wire::auth::isValidKeyName(name) ? name : QStringLiteral("(nome inválido)"))
                                    .arg(KeyThrottle::WindowMs / 60000)
                                    .arg(seconds(int(KeyThrottle::global().delayFor(address, name, now)))));
        }
        const auto r =
            wire::Response::failure(0, wire::ErrorCode::Unauthorized, QStringLiteral("Chave de cliente recusada pelo servidor."));
        socket.write(wire::frame(wire::encodeResponse(r)));
        flush(socket);
        return {};
    }
    KeyThrottle::global().recordSuccess(address, name);
    socket.write(wire::frame(wire::encodeResponse(wire::Response::success(0, QCborValue(name)))));
    if (!flush(socket))
        return {};
    return name;
}

void ConnectionWorker::run(qintptr socketDescriptor, const std::atomic<bool> &stop)
{
    // TLS and the client key must be done within the shorter of the two deadlines, from
    // the moment the connection was accepted.
    m_handshakeLimitMs = std::min(m_settings.handshakeDeadlineMs, m_settings.frameDeadlineMs);
    m_handshakeLimitName = m_settings.handshakeDeadlineMs <= m_settings.frameDeadlineMs ? QStringLiteral("--handshake-deadline")
                                                                                        : QStringLiteral("--frame-deadline");
    m_handshakeDeadline = QDeadlineTimer(m_handshakeLimitMs);

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

    if (m_settings.tls && !stationSpeaksTls(socket, socketDescriptor, peer)) {
        closeNow();
        return;
    }
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
    // A connection that proved its key is known now; on a server without keys, once its
    // first request is whole: until then a silent socket gives way to newcomers.
    bool known = false;
    const auto recognised = [&]() {
        if (m_settings.limits)
            m_settings.limits->handshakeDone(m_settings.eviction);
        known = true;
    };
    if (m_settings.keys)
        recognised();
    m_settings.log(QStringLiteral("conexão #%1 aberta de %2 (chave %3%4)")
                       .arg(m_number)
                       .arg(peer, identity, m_settings.tls ? QStringLiteral(", TLS") : QString()));

    // Requests run on the server's pool of database connections; the store is the one of
    // the pool thread that runs the request.
    Dispatcher dispatcher([]() -> Store & { return DbPool::currentStore(); });
    dispatcher.setCaller(identity, socket.peerAddress().toString());
    dispatcher.setBudget(m_settings.budget);
    // Only the first line of a refusal goes to the log: database drivers may add detail
    // lines that quote the row, and patient data stays out of logs.
    const auto logRefusal = [&](const wire::Request &req, const wire::Response &resp) {
        m_settings.log(QStringLiteral("conexão #%1: pedido %2 (%3) recusado: %4 %5")
                           .arg(m_number)
                           .arg(req.id)
                           .arg(req.method.left(40).isEmpty() ? QStringLiteral("?") : req.method.left(40))
                           .arg(resp.errorCode)
                           .arg(resp.errorMessage.section(QLatin1Char('\n'), 0, 0)));
    };
    dispatcher.onRefused = logRefusal;

    // A request is read straight into a buffer of its declared size, after its bytes were
    // taken from the server's budget; one the budget cannot hold is read past (only its
    // first bytes are kept, for its id) and refused, so the stream stays in step.
    struct Incoming
    {
        char head[4] = {};
        int headFilled = 0;
        bool sized = false;
        quint32 length = 0;
        qint64 filled = 0;
        QByteArray body;
        bool overBudget = false;
        QByteArray prefix;
    };
    Incoming in;
    ByteBudget *budget = m_settings.budget;
    const auto releaseBudget = [&]() {
        if (in.sized && !in.overBudget && budget)
            budget->release(in.length * ByteBudget::RequestShares);
    };
    // The socket's own buffer stays small: the request's buffer is where its bytes go.
    socket.setReadBufferSize(1 << 20);

    // Compression pays where bytes cost time, between machines; a client on the server's
    // own address (a station on the server, a tool) gets plain responses, which are faster
    // to make and read there.
    const bool compressFor = socket.peerAddress() != socket.localAddress();
    // An answer waits in memory until its client reads it: a large one counts in the budget
    // until it has left, so clients that ask and never read cannot pile answers up. One
    // that does not fit is refused, like a save that does not.
    struct Outgoing
    {
        QByteArray frame;
        ByteBudget::Reservation held;
    };
    const auto pack = [&](wire::Response response) {
        response.acceptsZstd = response.acceptsZstd && compressFor;
        Outgoing out;
        out.frame = wire::frame(wire::encodeResponse(response));
        out.held = ByteBudget::Reservation(budget, out.frame.size());
        if (!out.held.held()) {
            m_settings.warn(QStringLiteral("conexão #%1 de %2: resposta ao pedido %3 (%4 MB) recusada: limite de memória "
                                           "de %5 MB (%6 MB em uso; --memory-budget)")
                                .arg(m_number)
                                .arg(peer)
                                .arg(response.id)
                                .arg(megabytes(out.frame.size()), megabytes(budget->limit()), megabytes(budget->inUse())));
            const qint64 size = out.frame.size();
            out.frame = wire::frame(wire::encodeResponse(
                wire::Response::failure(response.id, wire::ErrorCode::Unavailable,
                                        QStringLiteral("O servidor está enviando outras respostas grandes neste momento e "
                                                       "não pôde enviar esta (%1 MB). Tente de novo em instantes.")
                                            .arg(megabytes(size)))));
        }
        return out;
    };

    const auto answer = [&]() -> Outgoing {
        if (in.overBudget) {
            const qint64 id = requestIdFromPrefix(in.prefix);
            m_settings.warn(QStringLiteral("conexão #%1 de %2: pedido %3 de %4 MB recusado: limite de memória de %5 MB "
                                           "para pedidos em andamento (%6 MB em uso; --memory-budget)")
                                .arg(m_number)
                                .arg(peer)
                                .arg(id)
                                .arg(megabytes(in.length), megabytes(budget->limit()), megabytes(budget->inUse())));
            return pack(wire::Response::failure(id, wire::ErrorCode::Unavailable, ByteBudget::refusalMessage(in.length)));
        }
        // Only a tiny frame can be a health probe; the others go straight on.
        if (in.body.size() < 256) {
            if (auto pong = Ping::answer(in.body, m_settings.database))
                return pack(*pong);
        }
        wire::Request request;
        try {
            request = wire::decodeRequest(in.body);
        } catch (const kmp::Error &e) {
            const auto r = wire::Response::failure(0, wire::ErrorCode::BadRequest,
                                                   QStringLiteral("Pedido malformado: %1").arg(e.userMessage()));
            logRefusal(request, r);
            return pack(r);
        }
        // The decoded request holds its own copy of the values: the frame's bytes can go
        // before the save runs.
        in.body = QByteArray();
        // The answer is encoded while the request still holds its database connection, so
        // that no more answers are being built at once than there are connections.
        Outgoing out;
        try {
            m_settings.pool->run(accessOf(request.method), [&]() { out = pack(dispatcher.handle(request)); });
        } catch (const ServiceError &e) {
            const auto r = wire::Response::failure(request.id, e.code(), e.userMessage());
            logRefusal(request, r);
            out = pack(r);
        }
        return out;
    };

    QString why = QStringLiteral("cliente desconectou");
    quint64 served = 0;
    // Idle: time since the last answer (or the start) with nothing pending. A frame whose
    // first bytes arrived must be whole within the frame deadline, so a client trickling
    // bytes cannot hold a thread for ever. Before its first request a connection without
    // a handshake gets only the handshake deadline: a socket that never asks anything
    // should not hold a slot for the whole idle time.
    QElapsedTimer idle;
    idle.start();
    QElapsedTimer frameStarted;
    bool inFrame = false;
    char scratch[16384];
    while (!stop.load()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(250) && socket.state() != QAbstractSocket::ConnectedState)
            break;
        bool broken = false;
        while (!broken && socket.bytesAvailable() > 0) {
            if (!inFrame) {
                inFrame = true;
                frameStarted.start();
            }
            if (!in.sized) {
                const qint64 n = socket.read(in.head + in.headFilled, 4 - in.headFilled);
                if (n <= 0)
                    break;
                in.headFilled += int(n);
                if (in.headFilled < 4)
                    continue;
                in.length = qFromBigEndian<quint32>(in.head);
                if (in.length > m_settings.maxFrame) {
                    // The stream cannot be resynchronised after an oversized length: answer
                    // once, then close.
                    const auto r = wire::Response::failure(0, wire::ErrorCode::TooLarge,
                                                           QStringLiteral("Mensagem de %1 bytes excede o limite de %2 bytes.")
                                                               .arg(in.length)
                                                               .arg(m_settings.maxFrame));
                    m_settings.warn(QStringLiteral("conexão #%1 de %2: pedido recusado: %3 %4 (limite --max-frame)")
                                        .arg(m_number)
                                        .arg(peer)
                                        .arg(r.errorCode)
                                        .arg(r.errorMessage));
                    socket.write(wire::frame(wire::encodeResponse(r)));
                    flush(socket);
                    why = QStringLiteral("mensagem grande demais");
                    broken = true;
                    break;
                }
                in.sized = true;
                if (!budget || budget->tryReserve(in.length * ByteBudget::RequestShares))
                    in.body = QByteArray(qsizetype(in.length), Qt::Uninitialized);
                else
                    in.overBudget = true;
            } else {
                const qint64 want = qint64(in.length) - in.filled;
                qint64 n = 0;
                if (in.overBudget) {
                    n = socket.read(scratch, std::min<qint64>(want, sizeof scratch));
                    if (n > 0 && in.prefix.size() < 256)
                        in.prefix.append(scratch, qsizetype(std::min<qint64>(n, 256 - in.prefix.size())));
                } else {
                    n = socket.read(in.body.data() + in.filled, want);
                }
                if (n <= 0)
                    break;
                in.filled += n;
            }
            if (in.sized && in.filled == qint64(in.length)) {
                if (!known)
                    recognised();
                // Whatever the request held is gone by the next one (or the connection's end).
                const auto trim = qScopeGuard([budget]() {
                    if (budget)
                        budget->trimIfDue();
                });
                Outgoing out = answer();
                ++served;
                releaseBudget();
                in = Incoming();
                inFrame = false;
                socket.write(out.frame);
                out.frame = QByteArray();
                if (!flush(socket)) {
                    broken = true;
                    why = QStringLiteral("cliente parou de ler");
                    break;
                }
                idle.restart();
            }
        }
        if (broken)
            break;
        if (!known && evicted()) {
            refuse(peer, m_settings.limits->describeEviction());
            why = QStringLiteral("lugar cedido");
            break;
        }
        if (inFrame) {
            if (frameStarted.elapsed() > m_settings.frameDeadlineMs) {
                m_settings.warn(QStringLiteral("conexão #%1 de %2 encerrada: mensagem incompleta após %3 s "
                                               "(%4 bytes recebidos; limite --frame-deadline)")
                                    .arg(m_number)
                                    .arg(peer, seconds(m_settings.frameDeadlineMs))
                                    .arg(in.filled + in.headFilled));
                why = QStringLiteral("mensagem lenta demais");
                break;
            }
        } else if (served == 0 && !m_settings.keys && !m_settings.tls && idle.elapsed() > m_handshakeLimitMs
                   && m_handshakeLimitMs < m_settings.idleTimeoutMs) {
            m_settings.warn(QStringLiteral("conexão #%1 de %2 encerrada: nenhum pedido em %3 s (limite %4)")
                                .arg(m_number)
                                .arg(peer, seconds(m_handshakeLimitMs), m_handshakeLimitName));
            why = QStringLiteral("sem pedidos");
            break;
        } else if (idle.elapsed() > m_settings.idleTimeoutMs) {
            m_settings.warn(QStringLiteral("conexão #%1 de %2 encerrada: inativa por %3 s (limite --idle-timeout)")
                                .arg(m_number)
                                .arg(peer, seconds(m_settings.idleTimeoutMs)));
            why = QStringLiteral("inativa");
            break;
        }
    }
    releaseBudget();
    if (stop.load())
        why = QStringLiteral("servidor encerrando");
    closeNow();
    m_settings.log(QStringLiteral("conexão #%1 fechada (%2; %3 pedidos)").arg(m_number).arg(why).arg(served));
}

} // namespace kmp::server
