#include "client.h"

#include "auth.h"

#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <optional>

namespace kmp::wire {

namespace {

const QString kKeyRefused = QStringLiteral("Chave de cliente recusada pelo servidor.");

} // namespace

Client::Client() = default;
Client::~Client() = default;

void Client::setEndpoint(const QString &host, quint16 port)
{
    if (host != m_host || port != m_port)
        disconnectFromServer();
    m_host = host;
    m_port = port;
}

void Client::setTimeouts(int connectMs, int readMs)
{
    m_connectMs = connectMs;
    m_readMs = readMs;
}

void Client::setCredentials(const QString &keyName, const QByteArray &secret)
{
    if (keyName != m_keyName || secret != m_secret)
        disconnectFromServer();
    m_keyName = keyName;
    m_secret = secret;
}

void Client::setTls(bool on, const QString &caFile)
{
    if (on != m_tls || caFile != m_caFile)
        disconnectFromServer();
    m_tls = on;
    m_caFile = caFile;
}

bool Client::sameServer(const QString &host, quint16 port, const QString &keyName, const QByteArray &secret, bool tls,
                        const QString &caFile) const
{
    return host == m_host && port == m_port && keyName == m_keyName && secret == m_secret && tls == m_tls && caFile == m_caFile;
}

bool Client::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void Client::failTransport(const QString &message)
{
    m_awaiting.clear();
    m_kept.clear();
    if (m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
    m_reader.reset();
    throw ConnectionError(message);
}

void Client::openSocket()
{
    const QString where = QStringLiteral("%1:%2").arg(m_host).arg(m_port);
    if (!m_tls) {
        m_socket = std::make_unique<QTcpSocket>();
        m_socket->connectToHost(m_host, m_port);
        if (!m_socket->waitForConnected(m_connectMs)) {
            const QString why = m_socket->error() == QAbstractSocket::SocketTimeoutError
                                    ? QStringLiteral("o servidor não respondeu em %1 s").arg(m_connectMs / 1000.0)
                                    : m_socket->errorString();
            failTransport(QStringLiteral("Não foi possível conectar ao servidor de aplicação %1 (%2).").arg(where, why));
        }
        return;
    }
    if (!QSslSocket::supportsSsl())
        failTransport(QStringLiteral("Esta estação não tem suporte a TLS (biblioteca OpenSSL ausente)."));
    QList<QSslCertificate> roots;
    if (!m_caFile.isEmpty()) {
        roots = QSslCertificate::fromPath(m_caFile, QSsl::Pem);
        if (roots.isEmpty())
            failTransport(QStringLiteral("O arquivo de certificados da autoridade (CA) %1 não pôde ser lido ou não "
                                         "contém certificados.")
                              .arg(m_caFile));
    } else {
        roots = QSslConfiguration::systemCaCertificates();
    }
    auto socket = std::make_unique<QSslSocket>();
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setCaCertificates(roots);
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    socket->setSslConfiguration(conf);
    QSslSocket *ssl = socket.get();
    m_socket = std::move(socket);
    ssl->connectToHostEncrypted(m_host, m_port);
    if (!ssl->waitForEncrypted(m_connectMs)) {
        const QList<QSslError> errors = ssl->sslHandshakeErrors();
        if (!errors.isEmpty()) {
            QStringList why;
            for (const QSslError &e : errors)
                why << e.errorString();
            why.removeDuplicates();
            failTransport(
                QStringLiteral("Certificado do servidor não confiável: %1 (%2).").arg(why.join(QStringLiteral("; ")), where));
        }
        const QString why = ssl->error() == QAbstractSocket::SocketTimeoutError
                                ? QStringLiteral("o servidor não respondeu em %1 s").arg(m_connectMs / 1000.0)
                                : ssl->errorString();
        failTransport(QStringLiteral("Não foi possível estabelecer a conexão segura (TLS) com o servidor de "
                                     "aplicação %1 (%2).")
                          .arg(where, why));
    }
}

void Client::connectToServer()
{
    if (isConnected())
        return;
    m_socket.reset();
    m_reader = std::make_unique<FrameReader>(m_maxFrame);
    openSocket();
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (!m_keyName.isEmpty())
        authenticate();
}

void Client::authenticate()
{
    QByteArray first;
    try {
        first = receiveFrame(m_connectMs, QStringLiteral("a autenticação"));
    } catch (const ConnectionError &e) {
        // A server without a key file sends nothing and waits for a request.
        throw ConnectionError(QStringLiteral("O servidor não pediu a chave de cliente (%1). Verifique se ele usa um "
                                             "arquivo de chaves (--keys) ou tire a chave desta estação.")
                                  .arg(e.userMessage()));
    }
    const auto nonce = auth::decodeChallenge(first);
    if (!nonce) {
        // A refusal sent before any challenge (a full server, a server that wants TLS) is
        // the reason to show; only a frame that is neither says nothing useful.
        std::optional<Response> refusal;
        try {
            refusal = decodeResponse(first);
        } catch (const kmp::Error &) {
        }
        if (refusal && !refusal->ok && !refusal->errorMessage.isEmpty())
            failTransport(refusal->errorMessage);
        failTransport(QStringLiteral("O servidor não pediu a chave de cliente como esperado."));
    }
    send(auth::encodeAnswer({m_keyName, auth::mac(m_secret, *nonce)}), m_connectMs, QStringLiteral("a autenticação"));
    Response r;
    try {
        r = decodeResponse(receiveFrame(m_connectMs, QStringLiteral("a autenticação")));
    } catch (const ConnectionError &) {
        // A server that closes right after the answer refused it (an older server may not
        // say why).
        failTransport(kKeyRefused);
    } catch (const kmp::Error &e) {
        failTransport(QStringLiteral("Resposta inválida do servidor na autenticação: %1").arg(e.userMessage()));
    }
    if (!r.ok)
        failTransport(r.errorCode == int(ErrorCode::Unauthorized) ? kKeyRefused : r.errorMessage);
}

void Client::disconnectFromServer()
{
    m_awaiting.clear();
    m_kept.clear();
    m_reader.reset();
    if (!m_socket)
        return;
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->waitForDisconnected(500);
    m_socket.reset();
}

bool Client::connectionStillUsable()
{
    if (!isConnected())
        return false;
    if (!m_awaiting.isEmpty())
        return true; // their bytes are expected, not a sign of a closed connection
    // Between calls the server sends nothing. Anything readable now, or a closed socket,
    // means the server ended the connection (an idle timeout, a restart): start afresh
    // rather than send a request into a connection that is already gone.
    if (m_socket->bytesAvailable() == 0)
        m_socket->waitForReadyRead(0);
    return m_socket->state() == QAbstractSocket::ConnectedState && m_socket->bytesAvailable() == 0
           && (!m_reader || !m_reader->inFrame());
}

void Client::send(const QByteArray &body, int timeoutMs, const QString &what)
{
    sendFramed(frame(body), timeoutMs, what);
}

void Client::sendFramed(const QByteArray &out, int timeoutMs, const QString &what)
{
    if (m_socket->write(out) != out.size())
        failTransport(QStringLiteral("Falha ao enviar %1 ao servidor: %2").arg(what, m_socket->errorString()));
    QElapsedTimer timer;
    timer.start();
    while (m_socket->bytesToWrite() > 0) {
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0 || !m_socket->waitForBytesWritten(left))
            failTransport(QStringLiteral("Falha ao enviar %1 ao servidor (%2).").arg(what, m_socket->errorString()));
    }
}

QByteArray Client::receiveFrame(int timeoutMs, const QString &what)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (auto body = m_reader->next())
            return *body;
        if (m_reader->isBroken())
            failTransport(QStringLiteral("Resposta do servidor grande demais (%1 bytes).").arg(m_reader->brokenLength()));
        // Bytes the event loop already took in while the caller was busy elsewhere (a
        // batch sent ahead of its receive) are in the socket's buffer, not on the wire.
        if (m_socket->bytesAvailable() > 0) {
            m_reader->append(m_socket->readAll());
            continue;
        }
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0)
            failTransport(QStringLiteral("O servidor não respondeu em %1 s (%2).").arg(timeoutMs / 1000.0).arg(what));
        if (!m_socket->waitForReadyRead(left)) {
            // Whatever arrived together with the close is still worth reading.
            if (m_socket->bytesAvailable() > 0) {
                m_reader->append(m_socket->readAll());
                continue;
            }
            if (m_socket->state() != QAbstractSocket::ConnectedState || m_socket->error() != QAbstractSocket::SocketTimeoutError)
                failTransport(
                    QStringLiteral("A conexão com o servidor foi perdida durante %1 (%2).").arg(what, m_socket->errorString()));
            continue; // the deadline check above turns the timeout into an error
        }
        m_reader->append(m_socket->readAll());
    }
}

void Client::ensureConnected()
{
    if (!connectionStillUsable()) {
        // Answers already read stay good for their receive() on the new connection.
        QHash<qint64, Response> kept;
        kept.swap(m_kept);
        disconnectFromServer();
        connectToServer();
        m_kept.swap(kept);
    }
}

Response Client::receiveResponse(qint64 id, const QString &method)
{
    const QByteArray body = receiveFrame(m_readMs, method);
    Response r;
    try {
        r = decodeResponse(body, qsizetype(m_maxFrame));
    } catch (const kmp::Error &e) {
        if (auth::decodeChallenge(body))
            failTransport(QStringLiteral("O servidor exige uma chave de cliente; configure a chave desta estação."));
        failTransport(QStringLiteral("Resposta inválida do servidor: %1").arg(e.userMessage()));
    }
    if (r.id != id) {
        // A refusal of the whole connection (no key, too many connections) comes with id 0.
        if (r.id == 0 && !r.ok)
            failTransport(r.errorMessage);
        failTransport(QStringLiteral("Resposta fora de ordem do servidor."));
    }
    return r;
}

Response Client::call(Request request)
{
    return callPipelined({std::move(request)}).front();
}

QList<Response> Client::callPipelined(QList<Request> requests)
{
    return receive(send(std::move(requests)));
}

QList<Request> Client::send(QList<Request> requests)
{
    if (requests.isEmpty())
        return requests;
    // Answers still on their way would arrive ahead of these: read them now and keep them
    // for whoever sent their requests.
    while (!m_awaiting.isEmpty()) {
        const Sent next = m_awaiting.first();
        m_kept.insert(next.id, receiveResponse(next.id, next.method));
        m_awaiting.removeFirst();
    }
    ensureConnected();
    QByteArray out;
    for (Request &request : requests) {
        request.id = m_nextId++;
        request.acceptsZstd = m_acceptCompressed;
        out += frame(encodeRequest(request));
    }
    // One write: the frames leave together, in as few packets as the link allows.
    sendFramed(out, m_readMs, requests.size() == 1 ? QStringLiteral("o pedido") : QStringLiteral("os pedidos"));
    for (const Request &request : std::as_const(requests))
        m_awaiting << Sent{request.id, request.method};
    return requests;
}

QList<Response> Client::receive(const QList<Request> &sent)
{
    QList<Response> responses;
    responses.reserve(sent.size());
    for (const Request &request : sent) {
        if (auto kept = m_kept.find(request.id); kept != m_kept.end()) {
            responses << *kept;
            m_kept.erase(kept);
            continue;
        }
        // Answers come in the order their requests left.
        if (m_awaiting.isEmpty() || m_awaiting.first().id != request.id)
            throw ConnectionError(QStringLiteral("As respostas deste pedido não estão mais disponíveis; repita a operação."));
        responses << receiveResponse(request.id, request.method);
        m_awaiting.removeFirst();
    }
    return responses;
}

} // namespace kmp::wire
