#include "keythrottle.h"

#include <algorithm>

namespace kmp::server {

KeyThrottle &KeyThrottle::global()
{
    static KeyThrottle throttle;
    return throttle;
}

QString KeyThrottle::key(const QString &address, const QString &keyName)
{
    // Addresses hold no spaces: the pair cannot be taken for another.
    return address + QLatin1Char(' ') + keyName.left(64);
}

qint64 KeyThrottle::delayFor(const QString &address, const QString &keyName, qint64 nowMs)
{
    QMutexLocker guard(&m_lock);
    const auto it = m_entries.constFind(key(address, keyName));
    if (it == m_entries.constEnd() || nowMs - it->lastMs > WindowMs || it->failures < FreeFailures)
        return 0;
    const int doublings = std::min(it->failures - FreeFailures, 16);
    return std::min(FirstDelayMs << doublings, MaxDelayMs);
}

int KeyThrottle::recordFailure(const QString &address, const QString &keyName, qint64 nowMs)
{
    QMutexLocker guard(&m_lock);
    const QString k = key(address, keyName);
    if (m_entries.size() >= MaxEntries && !m_entries.contains(k))
        forgetOld(nowMs);
    Entry &e = m_entries[k];
    if (nowMs - e.lastMs > WindowMs)
        e.failures = 0;
    ++e.failures;
    e.lastMs = nowMs;
    return e.failures;
}

void KeyThrottle::recordSuccess(const QString &address, const QString &keyName)
{
    QMutexLocker guard(&m_lock);
    m_entries.remove(key(address, keyName));
}

int KeyThrottle::trackedEntries()
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
    // Still full of recent refusals: drop the quietest half rather than grow.
    if (m_entries.size() >= MaxEntries) {
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
