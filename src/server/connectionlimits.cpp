#include "connectionlimits.h"

#include <algorithm>

namespace kmp::server {

ConnectionLimits::ConnectionLimits(int maxConnections, int maxPerAddress)
    : m_maxConnections(std::max(1, maxConnections)),
      m_maxPerAddress(std::clamp(maxPerAddress, 1, m_maxConnections)),
      m_maxHandshaking(std::max(1, m_maxConnections / 4)),
      m_maxHandshakingPerAddress(std::max(1, m_maxPerAddress / 4))
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
    case Verdict::TooManyHandshaking:
        return QStringLiteral("limite de %1 conexões ainda sem chave de cliente (um quarto de --max-connections)")
            .arg(m_maxHandshaking);
    case Verdict::TooManyHandshakingFromAddress:
        return QStringLiteral("limite de %1 conexões do mesmo endereço ainda sem chave de cliente (um quarto de "
                              "--max-per-address)")
            .arg(m_maxHandshakingPerAddress);
    }
    return {};
}

ConnectionLimits::Verdict ConnectionLimits::admit(const QHostAddress &address, bool handshake)
{
    const QString k = key(address);
    std::lock_guard<std::mutex> guard(m_lock);
    const Count mine = m_byAddress.value(k);
    if (m_total.all >= m_maxConnections)
        return Verdict::TooManyInAll;
    if (mine.all >= m_maxPerAddress)
        return Verdict::TooManyFromAddress;
    if (handshake && m_total.handshaking >= m_maxHandshaking)
        return Verdict::TooManyHandshaking;
    if (handshake && mine.handshaking >= m_maxHandshakingPerAddress)
        return Verdict::TooManyHandshakingFromAddress;
    Count &c = m_byAddress[k];
    ++c.all;
    ++m_total.all;
    if (handshake) {
        ++c.handshaking;
        ++m_total.handshaking;
    }
    return Verdict::Admitted;
}

void ConnectionLimits::handshakeDone(const QHostAddress &address)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_byAddress.find(key(address));
    if (it == m_byAddress.end() || it->handshaking == 0)
        return;
    --it->handshaking;
    --m_total.handshaking;
}

void ConnectionLimits::leave(const QHostAddress &address, bool handshake)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_byAddress.find(key(address));
    if (it == m_byAddress.end())
        return;
    --it->all;
    --m_total.all;
    if (handshake && it->handshaking > 0) {
        --it->handshaking;
        --m_total.handshaking;
    }
    if (it->all == 0)
        m_byAddress.erase(it);
}

int ConnectionLimits::active() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_total.all;
}

} // namespace kmp::server
