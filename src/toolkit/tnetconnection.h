#pragma once

#include "client.h"

#include <QCborArray>
#include <QObject>
#include <functional>
#include <memory>

namespace kmp {

// The screen's connection to its remote module on the application server. Calls are
// synchronous; the raw result goes to Consiste::CheckResultServ.
class TNetConnection : public QObject
{
    Q_OBJECT
public:
    explicit TNetConnection(QObject *parent = nullptr);
    ~TNetConnection() override;

    // Remote module name ("KMP12800.rdmDiagPaci") and its GUID, sent with every call.
    QString ServerName;
    QString ServerGUID;
    bool ThrowException = true; // server errors reach the caller (through CheckResultServ)
    QString Host = QStringLiteral("127.0.0.1");
    int Port = 0;

    // Runs before every connect; the screen sets Host and Port here.
    std::function<void(TNetConnection &)> OnBeforeConnect;

    void setServerName(const QString &name) { ServerName = name; }
    void setServerGUID(const QString &guid) { ServerGUID = guid; }
    void setHost(const QString &host) { Host = host; }
    void setPort(int port) { Port = port; }

    // true connects (OnBeforeConnect, then the transport); false disconnects. Raises
    // kmp::wire::ConnectionError when the server cannot be reached.
    //
    // Disconnecting (or destroying the object) hands an open transport to the station's
    // shelf of idle connections (kmp::wire::ClientShelf) instead of closing it, and
    // connecting takes one from there when it was opened to the same server with the same
    // key and TLS settings: the next screen then skips the connect and the handshakes.
    void setConnected(bool on);
    bool connected() const;   // the transport is up now
    QString endpoint() const; // "host:port", as the connection status shows it

    // Calls a remote method and returns the raw result. Connects first when needed, so a
    // call after a lost connection reconnects. Raises kmp::wire::ConnectionError on a
    // refused connection, a server that goes away mid-call or a timeout; the connection
    // stays usable for the next call.
    kmp::wire::Response call(const QString &method, const QCborArray &args = QCborArray());

    // Several remote methods in one exchange: all requests are sent, then the raw results
    // are read, one per call in the same order. Over a slow link this costs one round
    // trip instead of one per call. Failures as in call(); a method the server refuses
    // has its failed response in its place and does not affect the others.
    struct Call
    {
        QString method;
        QCborArray args;
    };
    QList<kmp::wire::Response> callAll(const QList<Call> &calls);

    // callAll in two halves, for a caller with work of its own to do while the requests
    // travel: sendAll connects when needed and writes the requests; receiveAll waits for
    // their answers, with the busy indicator. A call made in between is safe: it reads the
    // batch's answers first and keeps them for receiveAll.
    using Batch = QList<kmp::wire::Request>;
    Batch sendAll(const QList<Call> &calls);
    QList<kmp::wire::Response> receiveAll(const Batch &batch);

    // Connects only if that costs nothing: when this connection is up, or the station
    // holds an idle one to the same server (see setConnected), and the server has not
    // closed it meanwhile. Never opens a new one, never blocks, never raises; returns
    // whether the connection is up.
    bool connectIfIdle();

    // Timeouts in milliseconds; defaults 5000 and 30000, or KMP_CONNECT_TIMEOUT_MS and
    // KMP_READ_TIMEOUT_MS from the environment.
    void setTimeouts(int connectMs, int readMs);
    int connectTimeout() const { return m_connectMs; }
    int readTimeout() const { return m_readMs; }

private:
    // OnBeforeConnect, then an idle connection from the shelf or (when mayConnect) a new
    // one. Returns whether connected.
    bool open(bool mayConnect = true);
    kmp::wire::Request request(const QString &method, const QCborArray &args) const;
    Batch batchFor(const QList<Call> &calls) const;
    // The two halves of an exchange, reporting failures to the connection status.
    Batch send(Batch batch);
    QList<kmp::wire::Response> answers(const Batch &batch);

    std::unique_ptr<kmp::wire::Client> m_client;
    int m_connectMs;
    int m_readMs;
};

} // namespace kmp
