#pragma once

#include <QHash>
#include <QHostAddress>
#include <QString>
#include <mutex>

namespace kmp::server {

// Who may hold a connection slot. Slots are bounded in total and per client address, and
// connections still in their handshake (TLS, client key) may hold only a quarter of
// either, so that sockets that never prove who they are cannot take the room stations
// with a valid key need.
class ConnectionLimits
{
public:
    ConnectionLimits(int maxConnections, int maxPerAddress);

    enum class Verdict { Admitted, TooManyInAll, TooManyFromAddress, TooManyHandshaking, TooManyHandshakingFromAddress };

    // Takes a slot for a new connection from address, as handshaking when handshake is
    // true. Anything but Admitted takes nothing.
    Verdict admit(const QHostAddress &address, bool handshake);
    // The limit that refused, for the log line.
    QString describe(Verdict verdict) const;
    // The connection proved who it is: it stops counting against the handshake limits.
    void handshakeDone(const QHostAddress &address);
    // The connection ended; handshake says whether it was still handshaking.
    void leave(const QHostAddress &address, bool handshake);

    int active() const;
    int maxConnections() const { return m_maxConnections; }
    int maxPerAddress() const { return m_maxPerAddress; }
    int maxHandshaking() const { return m_maxHandshaking; }
    int maxHandshakingPerAddress() const { return m_maxHandshakingPerAddress; }

private:
    struct Count
    {
        int all = 0;
        int handshaking = 0;
    };
    static QString key(const QHostAddress &address);

    const int m_maxConnections;
    const int m_maxPerAddress;
    const int m_maxHandshaking;
    const int m_maxHandshakingPerAddress;
    mutable std::mutex m_lock;
    Count m_total;
    QHash<QString, Count> m_byAddress;
};

} // namespace kmp::server
