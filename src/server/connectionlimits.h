#pragma once

#include <QHash>
#include <QHostAddress>
#include <QString>
#include <atomic>
#include <list>
#include <memory>
#include <mutex>

namespace kmp::server {

// Who may hold a connection slot. Slots are bounded in total and per client address.
// Connections still in their handshake (TLS and the client key, or on a server without
// keys the first request) may hold only a quarter of either; when that quarter is full, a
// newcomer takes the place of the oldest of them (from the same address when that address
// is at its own limit), which is told to close. So sockets that never prove who they are
// can neither take the room stations need, nor stop a station from getting through its
// handshake.
class ConnectionLimits
{
public:
    ConnectionLimits(int maxConnections, int maxPerAddress);

    enum class Verdict { Admitted, TooManyInAll, TooManyFromAddress };
    // Set when a connection in its handshake must give up its place.
    using Eviction = std::shared_ptr<std::atomic<bool>>;

    // Takes a slot for a new connection from address. With handshake true the connection
    // counts as handshaking and *eviction is set to its flag. Anything but Admitted takes
    // nothing.
    Verdict admit(const QHostAddress &address, bool handshake, Eviction *eviction = nullptr);
    // The limit that refused, for the log line.
    QString describe(Verdict verdict) const;
    // Why an evicted connection was closed, for the log line.
    QString describeEviction() const;
    // The connection proved who it is: it stops counting against the handshake limits.
    void handshakeDone(const Eviction &eviction);
    // The connection ended (eviction: its flag, null when it had no handshake).
    void leave(const QHostAddress &address, const Eviction &eviction);

    int active() const;
    int maxConnections() const { return m_maxConnections; }
    int maxPerAddress() const { return m_maxPerAddress; }

private:
    struct Count
    {
        int all = 0;
        int handshaking = 0;
    };
    struct Handshaking
    {
        QString address;
        Eviction eviction;
    };
    static QString key(const QHostAddress &address);
    // Stops counting a handshaking connection; false when it no longer counted.
    bool dropHandshaking(const Eviction &eviction);
    void evictOldest(const QString *address);
    void release(const QString &address);

    const int m_maxConnections;
    const int m_maxPerAddress;
    const int m_maxHandshaking;
    const int m_maxHandshakingPerAddress;
    mutable std::mutex m_lock;
    Count m_total;
    QHash<QString, Count> m_byAddress;
    std::list<Handshaking> m_handshaking; // oldest first
};

} // namespace kmp::server
