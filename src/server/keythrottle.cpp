#include "keythrottle.h"

#include <algorithm>

namespace kmp::server {

KeyThrottle &KeyThrottle::global()
{
    static KeyThrottle throttle;
    return throttle;
}

qint64 KeyThrottle::delayFor(const QString &address, qint64 nowMs)
{
    QMutexLocker guard(&m_lock);
    const auto it = m_entries.constFind(address);
    if (it == m_entries.constEnd() || nowMs - it->lastMs > WindowMs || it->failures < FreeFailures)
        return 0;
    const int doublings = std::min(it->failures - FreeFailures, 16);
    return std::min(FirstDelayMs << doublings, MaxDelayMs);
}

int KeyThrottle::recordFailure(const QString &address, qint64 nowMs)
{
    QMutexLocker guard(&m_lock);
    if (m_entries.size() >= MaxAddresses && !m_entries.contains(address))
        forgetOld(nowMs);
    Entry &e = m_entries[address];
    if (nowMs - e.lastMs > WindowMs)
        e.failures = 0;
    ++e.failures;
    e.lastMs = nowMs;
    return e.failures;
}

void KeyThrottle::recordSuccess(const QString &address)
{
    QMutexLocker guard(&m_lock);
    m_entries.remove(address);
}

int KeyThrottle::trackedAddresses()
{
    QMutexLocker guard(&m_lock);
    return int(m_entries.size());
}

void KeyThrottle::forgetOld(qint64 nowMs)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (nowMs - it->lastMs > WindowMs)
            it = m_entries.erase(it);
        else
            ++it;
    }
    // Still full of recent addresses: drop the quietest half rather than grow.
    if (m_entries.size() >= MaxAddresses) {
        QList<qint64> times;
        for (const Entry &e : std::as_const(m_entries))
            times << e.lastMs;
        std::sort(times.begin(), times.end());
        const qint64 cut = times.at(times.size() / 2);
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            if (it->lastMs <= cut)
                it = m_entries.erase(it);
            else
                ++it;
        }
    }
}

} // namespace kmp::server
