#pragma once

#include "error.h"
#include "frame.h"
#include "message.h"

#include <QHash>
#include <QList>
#include <QString>
#include <memory>

class QTcpSocket;

namespace kmp::wire {

// A transport failure: the server cannot be reached, went away mid-call, did not answer in
// time, refused this station's client key, or presented a certificate that cannot be
// trusted. The client is left disconnected and can connect again.
class ConnectionError : public kmp::Error
{
public:
    using Error::Error;
};

// A blocking client for one connection: each call writes one request frame and waits for
// its response frame on the calling thread, bounded by the connect and read timeouts, so
// a dead server gives an error instead of a frozen screen.
//
// Security, for a server that is not on this machine (both set before the first call):
//   client.setTls(true, "/etc/kmp/clinica-ca.pem");            // who the server is
//   client.setCredentials("recepcao-1", secretBytes);          // who this station is
// With both left alone the connection is plain TCP without a key, which a server accepts
// only on its loopback address.
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
    // Whether requests announce that compressed responses are read (on by default; a
    // server that does not compress ignores the announcement).
    void setAcceptCompressed(bool on) { m_acceptCompressed = on; }
    bool acceptsCompressed() const { return m_acceptCompressed; }

    // The client key this station proves it holds when connecting: a name from the
    // server's key file and its secret (the bytes after "name:" in that file). The secret
    // never leaves this process; only an HMAC of the server's random challenge does. An
    // empty name means no key (for a server without a key file). Changing it closes the
    // current connection.
    void setCredentials(const QString &keyName, const QByteArray &secret);
    QString keyName() const { return m_keyName; }

    // TLS on or off. With TLS on, the server's certificate must chain up to a certificate
    // in caFile (PEM; the only roots trusted, the system's are not used) and name the host
    // given to setEndpoint; otherwise the connection is refused with ConnectionError
    // "Certificado do servidor não confiável: ...". Changing it closes the current
    // connection. The CA file is read at the next connect.
    void setTls(bool on, const QString &caFile);
    bool isTls() const { return m_tls; }
    QString caFile() const { return m_caFile; }

    // Whether this client is set up for host:port with exactly these credentials and TLS
    // settings (so a connection it holds may serve a caller who asks for them).
    bool sameServer(const QString &host, quint16 port, const QString &keyName, const QByteArray &secret, bool tls,
                    const QString &caFile) const;

    // Connects, sets up TLS and proves the client key when they are configured. Throws
    // ConnectionError with a message for the user on any failure, among them
    // "Chave de cliente recusada pelo servidor." when the server does not accept the key.
    void connectToServer();
    void disconnectFromServer();
    bool isConnected() const;
    // Connected, and the server has not closed the connection meanwhile (an idle timeout,
    // a restart): a request sent now would be read. Never blocks; a connection with
    // answers on their way counts as usable.
    bool connectionStillUsable();

    // Sends the request (its id is assigned here) and returns the server's response,
    // successful or not. Connects first when needed, and again when the server closed an
    // idle connection since the last call. Throws ConnectionError on any transport failure.
    Response call(Request request);

    // Sends the requests back to back and then reads their responses, in the same order:
    // a link's round trip is paid once for all of them instead of once each. The server
    // answers a connection's requests one after the other, so a refused request gets its
    // own failed response in its place and the others their own; an answer whose id is
    // not the one expected there ends the connection with ConnectionError rather than
    // hand one request's answer to another. Transport failures as in call().
    QList<Response> callPipelined(QList<Request> requests);

    // callPipelined in two halves, so that the caller can do its own work while the
    // requests travel: send() writes them and returns them with their ids, receive() waits
    // for their answers. Calls made in between are safe: they first read the answers
    // still on their way and keep them for receive(), so no answer is ever taken for
    // another request's.
    QList<Request> send(QList<Request> requests);
    QList<Response> receive(const QList<Request> &sent);
    // Whether answers are on their way or read and not yet collected by receive().
    bool holdsAnswers() const { return !m_awaiting.isEmpty() || !m_kept.isEmpty(); }

private:
    [[noreturn]] void failTransport(const QString &message);
    void openSocket();
    void authenticate();
    void send(const QByteArray &body, int deadlineMs, const QString &what);
    // Writes bytes already framed (one frame or several).
    void sendFramed(const QByteArray &frames, int deadlineMs, const QString &what);
    // The next frame body, waiting at most until the deadline (ms since start of timer).
    QByteArray receiveFrame(int timeoutMs, const QString &what);
    void ensureConnected();
    // The response to the request with this id, from the next frame.
    Response receiveResponse(qint64 id, const QString &method);

    QString m_host = QStringLiteral("127.0.0.1");
    quint16 m_port = 0;
    int m_connectMs = 5000;
    int m_readMs = 30000;
    quint32 m_maxFrame = DefaultMaxFrame;
    bool m_acceptCompressed = true;
    qint64 m_nextId = 1;
    QString m_keyName;
    QByteArray m_secret;
    bool m_tls = false;
    QString m_caFile;
    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<FrameReader> m_reader;
    struct Sent
    {
        qint64 id;
        QString method;
    };
    QList<Sent> m_awaiting;         // sent, answers not read yet, in order
    QHash<qint64, Response> m_kept; // read ahead of their receive()
};

} // namespace kmp::wire
