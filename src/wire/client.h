#pragma once

#include "error.h"
#include "frame.h"
#include "message.h"

#include <QString>
#include <memory>

class QTcpSocket;

namespace kmp::wire {

// A transport failure: the server cannot be reached, went away mid-call, or did not answer
// in time. The client is left disconnected and can connect again.
class ConnectionError : public kmp::Error
{
public:
    using Error::Error;
};

// A blocking client for one connection: each call writes one request frame and waits for
// its response frame on the calling thread, bounded by the connect and read timeouts, so
// a dead server gives an error instead of a frozen screen.
class Client
{
public:
    Client();
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    void setEndpoint(const QString &host, quint16 port);
    QString host() const { return m_host; }
    quint16 port() const { return m_port; }
    void setTimeouts(int connectMs, int readMs);
    int connectTimeout() const { return m_connectMs; }
    int readTimeout() const { return m_readMs; }
    void setMaxFrame(quint32 bytes) { m_maxFrame = bytes; }

    void connectToServer();
    void disconnectFromServer();
    bool isConnected() const;

    // Sends the request (its id is assigned here) and returns the server's response,
    // successful or not. Throws ConnectionError on any transport failure.
    Response call(Request request);

private:
    [[noreturn]] void failTransport(const QString &message);

    QString m_host = QStringLiteral("127.0.0.1");
    quint16 m_port = 0;
    int m_connectMs = 5000;
    int m_readMs = 30000;
    quint32 m_maxFrame = DefaultMaxFrame;
    qint64 m_nextId = 1;
    std::unique_ptr<QTcpSocket> m_socket;
};

} // namespace kmp::wire
