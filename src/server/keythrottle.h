#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

namespace kmp::server {

// Slows down key guessing: after a few refused client keys from one address within a
// window, each new connection from that address waits before it gets its challenge, the
// wait doubling with every further refusal up to a ceiling. An accepted key from the
// address clears its record. Times are milliseconds of a monotonic clock, passed in so
// that the rule can be tested without waiting.
class KeyThrottle
{
public:
    static constexpr int FreeFailures = 3;             // refusals allowed before any delay
    static constexpr qint64 WindowMs = 10 * 60 * 1000; // refusals older than this are forgotten
    static constexpr qint64 FirstDelayMs = 1000;
    static constexpr qint64 MaxDelayMs = 30000;
    static constexpr int MaxAddresses = 4096; // bounded memory against many addresses

    // The process-wide one the connection workers share.
    static KeyThrottle &global();

    // How long a new connection from this address waits before its challenge.
    qint64 delayFor(const QString &address, qint64 nowMs);
    // Records a refused key; returns the number of refusals within the window.
    int recordFailure(const QString &address, qint64 nowMs);
    void recordSuccess(const QString &address);
    int trackedAddresses();

private:
    struct Entry
    {
        int failures = 0;
        qint64 lastMs = 0;
    };
    void forgetOld(qint64 nowMs);

    QMutex m_lock;
    QHash<QString, Entry> m_entries;
};

} // namespace kmp::server
