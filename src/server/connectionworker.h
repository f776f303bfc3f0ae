#pragma once

#include "connectionlimits.h"
#include "databaseconfig.h"
#include "keyring.h"
#include "tlsidentity.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <functional>
#include <memory>

class QTcpSocket;

namespace kmp::server {

class ByteBudget;
class DbPool;

// Serves one client connection on the calling thread, from accept to close: TLS and the
// client-key handshake when configured, then reads frames and answers each request in
// order, running each on a connection of the server's database pool. Returns when the
// client goes away, sends a frame that cannot be read, breaks a limit (idle time, a
// handshake or frame that arrives too slowly, a frame too large), or stop becomes true.
// Every refusal is one log line with the peer's address and the limit or check that
// refused it.
class ConnectionWorker
{
public:
    struct Settings
    {
        DatabaseConfig database;             // for the health probe
        DbPool *pool = nullptr;              // where requests run; outlives the worker
        ByteBudget *budget = nullptr;        // request bytes held across connections
        ConnectionLimits *limits = nullptr;  // told when the handshake completes
        ConnectionLimits::Eviction eviction; // set: give up the handshake and close
        quint32 maxFrame = 0;
        std::function<void(const QString &)> log;  // one line, no patient data, no secrets
        std::function<void(const QString &)> warn; // refusals: logged even when quiet
        std::shared_ptr<const KeyRing> keys;       // null: no client keys asked ("local")
        std::shared_ptr<const TlsIdentity> tls;    // null: plain TCP
        int idleTimeoutMs = 600000;                // no request for this long: closed
        int frameDeadlineMs = 30000;               // a started frame must be whole by then
        int handshakeDeadlineMs = 10000;           // TLS and the client key, or (without
                                                   // them) the first request, by then
    };

    ConnectionWorker(Settings settings, quint64 number) : m_settings(std::move(settings)), m_number(number) {}

    void run(qintptr socketDescriptor, const std::atomic<bool> &stop);

    // Completes the TLS handshake of a connection the server turns away, within deadlineMs,
    // sends it the frame that says why and closes it.
    static void refuseOverTls(qintptr socketDescriptor, const TlsIdentity &tls, const QByteArray &frame, int deadlineMs);

private:
    // TLS handshake; false (logged) when it fails.
    bool startTls(QTcpSocket &socket, const QString &peer, const std::atomic<bool> &stop);
    // False (logged, answered in plain text) when the station did not open with TLS.
    bool stationSpeaksTls(QTcpSocket &socket, qintptr descriptor, const QString &peer);
    // The client-key handshake; the key name, or empty (logged, answered) on refusal.
    QString authenticate(QTcpSocket &socket, const QString &peer, const std::atomic<bool> &stop);
    void refuse(const QString &peer, const QString &why);
    bool evicted() const;

    Settings m_settings;
    quint64 m_number;
    QDeadlineTimer m_handshakeDeadline;
    int m_handshakeLimitMs = 0;
    QString m_handshakeLimitName; // the option that set the handshake limit, for the log
};

} // namespace kmp::server
