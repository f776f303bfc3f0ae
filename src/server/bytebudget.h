#pragma once

#include <QtGlobal>
#include <mutex>

namespace kmp::server {

// The bytes of requests the server holds at once, across every connection. A request
// takes its share when its length is known, before its bytes are read, and gives it back
// once answered; a request that would go over the limit is not read into memory at all
// but refused, so a few large saves at once cannot exhaust the machine's memory.
class ByteBudget
{
public:
    explicit ByteBudget(qint64 limit) : m_limit(limit) {}

    // Requests up to this size are not counted: they are bounded by the number of
    // connections anyway, and a station must always be able to read.
    static constexpr qint64 SmallRequest = 64 * 1024;
    static constexpr qint64 DefaultLimit = qint64(256) * 1024 * 1024;

    // True when the bytes were taken (always for a small request).
    bool tryReserve(qint64 bytes);
    void release(qint64 bytes);

    qint64 limit() const { return m_limit; }
    qint64 inUse() const;

private:
    const qint64 m_limit;
    mutable std::mutex m_lock;
    qint64 m_used = 0;
};

} // namespace kmp::server
