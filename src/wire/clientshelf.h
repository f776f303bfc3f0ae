#pragma once

#include "client.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMutex>
#include <QString>
#include <memory>
#include <vector>

namespace kmp::wire {

// Connections a station stopped using a moment ago, kept open for a while so that the
// next screen talking to the same server need not connect again. Over a slow link every
// connect costs a round trip, and a TLS and client-key handshake two or three more; a
// clinician who closes a screen and opens the next one (or the same one for the next
// patient) should not pay them each time.
//
// A parked connection is handed back only to a caller with exactly the same server, client
// key (name and secret) and TLS settings. Only the application's main thread parks (a
// socket belongs to the thread that created it); elsewhere park() just closes. A parked
// connection is closed when it has been parked longer than the lifetime (default 60 s,
// far below the server's idle timeout), when more than MaxParked are parked, and when the
// application ends. One that the server closed meanwhile costs nothing: the client
// notices it before the next request and connects afresh.
class ClientShelf
{
public:
    static ClientShelf &instance();

    static constexpr int DefaultLifetimeMs = 60000;
    static constexpr int MaxParked = 4;

    // Keeps a connected client for reuse; a client that is not connected, or holds answers
    // nobody collected, is closed.
    void park(std::unique_ptr<Client> client);
    // A parked client connected to host:port with these credentials and TLS settings, or
    // null.
    std::unique_ptr<Client> take(const QString &host, quint16 port, const QString &keyName, const QByteArray &secret, bool tls,
                                 const QString &caFile);

    // Closes every parked connection.
    void clear();
    int parked() const;
    void setLifetime(int ms);

private:
    ClientShelf() = default;
    struct Entry
    {
        std::unique_ptr<Client> client;
        QDeadlineTimer expires;
    };
    // Removes the expired entries; the caller holds m_lock and closes what is returned
    // after releasing it.
    std::vector<std::unique_ptr<Client>> takeExpired();
    void sweep();

    mutable QMutex m_lock;
    std::vector<Entry> m_entries;
    int m_lifetimeMs = DefaultLifetimeMs;
};

} // namespace kmp::wire
