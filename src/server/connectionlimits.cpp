#include "connectionlimits.h"

#include <algorithm>

namespace kmp::server {

ConnectionLimits::ConnectionLimits(int maxConnections, int maxPerAddress)
    : m_maxConnections(std::max(1, maxConnections)), m_maxPerAddress(std::clamp(maxPerAddress, 1, m_maxConnections)),
      m_maxHandshaking(std::max(1, m_maxConnections / 4)), m_maxHandshakingPerAddress(std::max(1, m_maxPerAddress / 4))
{
}

QString ConnectionLimits::key(const QHostAddress &address)
{
    // An IPv4 client reached over an IPv6 socket is still the same address.
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip4).toString() : address.toString();
}

QString ConnectionLimits::describe(Verdict verdict) const
{
    switch (verdict) {
    case Verdict::Admitted: break;
    case Verdict::TooManyInAll:
        return QStringLiteral("limite de %1 conexões simultâneas (--max-connections)").arg(m_maxConnections);
    case Verdict::TooManyFromAddress:
        return QStringLiteral("limite de %1 conexões do mesmo endereço (--max-per-address)").arg(m_maxPerAddress);
    }
    return {};
}

QString ConnectionLimits::describeEviction() const
{
    return QStringLiteral("lugar cedido a uma conexão mais nova: limite de %1 conexões ainda sem chave de cliente "
                          "ou primeiro pedido, %2 do mesmo endereço (um quarto de --max-connections e de "
                          "--max-per-address)")
        .arg(m_maxHandshaking)
        .arg(m_maxHandshakingPerAddress);
}

bool ConnectionLimits::dropHandshaking(const Eviction &eviction)
{
    const auto it =
        std::find_if(m_handshaking.begin(), m_handshaking.end(), [&](const Handshaking &h) { return h.eviction == eviction; });
    if (it == m_handshaking.end())
        return false;
    --m_byAddress[it->address].handshaking;
    --m_total.handshaking;
    m_handshaking.erase(it);
    return true;
}

void ConnectionLimits::evictOldest(const QString *address)
{
    const auto it = std::find_if(m_handshaking.begin(), m_handshaking.end(),
                                 [&](const Handshaking &h) { return !address || h.address == *address; });
    if (it == m_handshaking.end())
        return;
    // Its thread notices within a poll and closes; its slot goes to the newcomer now, so
    // that a crowd of silent sockets arriving faster than their threads close cannot fill
    // the server before the evicted ones are gone.
    it->eviction->store(true);
    const QString owner = it->address;
    dropHandshaking(Eviction(it->eviction));
    release(owner);
}

void ConnectionLimits::release(const QString &address)
{
    auto it = m_byAddress.find(address);
    if (it == m_byAddress.end())
        return;
    --it->all;
    --m_total.all;
    if (it->all == 0 && it->handshaking == 0)
        m_byAddress.erase(it);
}

ConnectionLimits::Verdict ConnectionLimits::admit(const QHostAddress &address, bool handshake, Eviction *eviction)
{
    const QString k = key(address);
    std::lock_guard<std::mutex> guard(m_lock);
    // A full server still takes a newcomer in place of the oldest connection that has
    // not finished its handshake: room is kept for stations that identify themselves.
    if (m_total.all >= m_maxConnections && handshake && m_total.handshaking > 0)
        evictOldest(nullptr);
    const Count mine = m_byAddress.value(k);
    if (m_total.all >= m_maxConnections)
        return Verdict::TooManyInAll;
    if (mine.all >= m_maxPerAddress)
        return Verdict::TooManyFromAddress;
    if (handshake) {
        if (mine.handshaking >= m_maxHandshakingPerAddress)
            evictOldest(&k);
        else if (m_total.handshaking >= m_maxHandshaking)
            evictOldest(nullptr);
    }
    Count &c = m_byAddress[k];
    ++c.all;
    ++m_total.all;
    if (handshake) {
        ++c.handshaking;
        ++m_total.handshaking;
        Eviction flag = std::make_shared<std::atomic<bool>>(false);
        m_handshaking.push_back({k, flag});
        if (eviction)
            *eviction = flag;
    }
    return Verdict::Admitted;
}

void ConnectionLimits::handshakeDone(const Eviction &eviction)
{
    if (!eviction)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    dropHandshaking(eviction);
}

void ConnectionLimits::leave(const QHostAddress &address, const Eviction &eviction)
{
    const QString k = key(address);
    std::lock_guard<std::mutex> guard(m_lock);
    if (eviction && eviction->load())
        return; // its slot was given up when it was evicted
    if (eviction)
        dropHandshaking(eviction);
    release(k);
}

int ConnectionLimits::active() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_total.all;
}

} // namespace kmp::server
