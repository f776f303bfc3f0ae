#include "client.h"

#include <QElapsedTimer>
#include <QTcpSocket>

namespace kmp::wire {

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

bool Client::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void Client::failTransport(const QString &message)
{
    if (m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
    throw ConnectionError(message);
}

void Client::connectToServer()
{
    if (isConnected())
        return;
    m_socket = std::make_unique<QTcpSocket>();
    m_socket->connectToHost(m_host, m_port);
    if (!m_socket->waitForConnected(m_connectMs)) {
        const QString why = m_socket->error() == QAbstractSocket::SocketTimeoutError
                                ? QStringLiteral("o servidor não respondeu em %1 s").arg(m_connectMs / 1000.0)
                                : m_socket->errorString();
        failTransport(QStringLiteral("Não foi possível conectar ao servidor de aplicação %1:%2 (%3).")
                          .arg(m_host).arg(m_port).arg(why));
    }
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

void Client::disconnectFromServer()
{
    if (!m_socket)
        return;
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->waitForDisconnected(500);
    m_socket.reset();
}

Response Client::call(Request request)
{
    if (!isConnected())
        connectToServer();
    request.id = m_nextId++;
    const QByteArray out = frame(encodeRequest(request));
    if (m_socket->write(out) != out.size())
        failTransport(QStringLiteral("Falha ao enviar o pedido ao servidor: %1").arg(m_socket->errorString()));

    QElapsedTimer timer;
    timer.start();
    while (m_socket->bytesToWrite() > 0) {
        const int left = m_readMs - int(timer.elapsed());
        if (left <= 0 || !m_socket->waitForBytesWritten(left))
            failTransport(QStringLiteral("Falha ao enviar o pedido ao servidor (%1).").arg(m_socket->errorString()));
    }

    FrameReader reader(m_maxFrame);
    for (;;) {
        if (auto body = reader.next()) {
            Response r;
            try {
                r = decodeResponse(*body);
            } catch (const kmp::Error &e) {
                failTransport(QStringLiteral("Resposta inválida do servidor: %1").arg(e.userMessage()));
            }
            if (r.id != request.id)
                failTransport(QStringLiteral("Resposta fora de ordem do servidor."));
            return r;
        }
        if (reader.isBroken())
            failTransport(QStringLiteral("Resposta do servidor grande demais (%1 bytes).").arg(reader.brokenLength()));
        const int left = m_readMs - int(timer.elapsed());
        if (left <= 0)
            failTransport(QStringLiteral("O servidor não respondeu em %1 s (%2).")
                              .arg(m_readMs / 1000.0).arg(request.method));
        if (!m_socket->waitForReadyRead(left)) {
            if (m_socket->state() != QAbstractSocket::ConnectedState
                || m_socket->error() != QAbstractSocket::SocketTimeoutError)
                failTransport(QStringLiteral("A conexão com o servidor foi perdida durante %1 (%2).")
                                  .arg(request.method, m_socket->errorString()));
            continue; // the loop's deadline check turns the timeout into an error
        }
        reader.append(m_socket->readAll());
    }
}

} // namespace kmp::wire
