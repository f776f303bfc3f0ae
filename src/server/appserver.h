#pragma once

#include "bytebudget.h"
#include "connectionlimits.h"
#include "databaseconfig.h"
#include "dbpool.h"
#include "keyring.h"
#include "tlsidentity.h"

#include <QHostAddress>
#include <QMutex>
#include <QTcpServer>
#include <atomic>
#include <list>
#include <memory>
#include <thread>

namespace kmp::server {

// The TCP listener. Each accepted connection gets a thread of its own (ConnectionWorker),
// so a slow client holds up only itself; the database connections are a bounded pool
// shared by all of them (DbPool), so the number of stations is not limited by the
// database's own connection limit. Nothing kept here matters for correctness: several
// servers may share one database.
class AppServer : public QTcpServer
{
    Q_OBJECT
public:
    struct Options
    {
        DatabaseConfig database;
        quint32 maxFrame = 0; // 0: the wire default
        int maxConnections = 256;
        int maxPerAddress = 64;          // connections from one client address
        int idleTimeoutMs = 600000;      // a connection without requests this long is closed
        int frameDeadlineMs = 30000;     // a frame must be whole this long after its first byte
        int handshakeDeadlineMs = 10000; // TLS and the client key (or, without them, the
                                         // first request) this long after accepting
        int dbConnections = DbPool::DefaultConnections;
        qint64 memoryBudget = ByteBudget::DefaultLimit; // request bytes held at once
        bool quiet = false;                             // no connection log (benchmarks)
        std::shared_ptr<const KeyRing> keys;            // client keys; null: none asked
        std::shared_ptr<const TlsIdentity> tls;         // null: plain TCP
    };

    explicit AppServer(Options options, QObject *parent = nullptr);
    ~AppServer() override;

    // Prepares the schema (creating or upgrading it) and starts listening. Throws
    // kmp::Error with a readable message on failure, and refuses an address other than
    // loopback unless both TLS and client keys are configured: patient records must not
    // cross a network in clear text or reach a client that has not proved who it is.
    void start(const QHostAddress &address, quint16 port);

    // Stops listening, ends every connection and waits for the threads.
    void stop();

    int activeConnections() const { return m_limits.active(); }

    // New client keys (a re-read key file) for the connections accepted from now on;
    // connections already open keep the key they proved. Called on the listener's thread.
    void setKeys(std::shared_ptr<const KeyRing> keys) { m_options.keys = std::move(keys); }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void reapFinished();
    void log(const QString &line) const;

    struct Worker
    {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    Options m_options;
    std::atomic<bool> m_stop{false};
    ConnectionLimits m_limits;
    ByteBudget m_budget;
    static constexpr int MaxRefusingOverTls = 8;
    std::atomic<int> m_refusingOverTls{0};
    std::unique_ptr<DbPool> m_pool;
    std::atomic<quint64> m_counter{0};
    QMutex m_workersLock;
    std::list<std::unique_ptr<Worker>> m_workers;
};

// One line in the server's log (the kmp.server category), its control characters escaped.
void logLine(const QString &line);

} // namespace kmp::server
