#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

namespace kmp::server {

// Slows down key guessing: after a few refused answers for one key name from one address
// within a window, every further answer for that name from that address waits before it
// is checked, the wait doubling with each refusal up to a ceiling that stays well inside
// what a station waits for the server (StationWaitMs), so a station holding the right
// key always gets through. Valid and wrong answers wait alike, so that the wait tells
// nothing. Other names from the same address (other stations behind a clinic's router
// or on a terminal server) are not held up. An accepted key clears the record of its name
// and address. Times are milliseconds of a monotonic clock, passed in so that the rule
// can be tested without waiting.
class KeyThrottle
{
public:
    static constexpr int FreeFailures = 3;             // refusals allowed before any wait
    static constexpr qint64 WindowMs = 10 * 60 * 1000; // refusals older than this are forgotten
    static constexpr qint64 FirstDelayMs = 500;
    static constexpr qint64 MaxDelayMs = 2000;
    static constexpr qint64 StationWaitMs = 5000; // a station's wait for each handshake step
    static_assert(2 * MaxDelayMs < StationWaitMs, "the wait must leave a station time for its handshake");
    static constexpr int MaxEntries = 4096; // bounded memory against many addresses and names

    // The process-wide one the connection workers share.
    static KeyThrottle &global();

    // How long an answer for this key name from this address waits before it is checked.
    qint64 delayFor(const QString &address, const QString &keyName, qint64 nowMs);
    // Records a refused answer; returns the number of refusals within the window.
    int recordFailure(const QString &address, const QString &keyName, qint64 nowMs);
    void recordSuccess(const QString &address, const QString &keyName);
    int trackedEntries();

private:
    struct Entry
    {
        int failures = 0;
        qint64 lastMs = 0;
    };
    static QString key(const QString &address, const QString &keyName);
    void forgetOld(qint64 nowMs);

    QMutex m_lock;
    QHash<QString, Entry> m_entries;
};

} // namespace kmp::server
