#pragma once

#include <QString>
#include <QtGlobal>
#include <mutex>

namespace kmp::server {

// The bytes the server holds at once for large requests and answers, across every
// connection: a request's own bytes (taken when its length is known, before they are
// read), what its values take once decoded, and an answer waiting for its client to read
// it. Whatever would go over the limit is refused instead of taken, so a few large saves
// or clients that stop reading cannot exhaust the machine's memory. When the bytes held
// fall back to nothing after a large peak, the memory freed is handed back to the system.
class ByteBudget
{
public:
    explicit ByteBudget(qint64 limit) : m_limit(limit) {}

    // Requests up to this size are not counted: they are bounded by the number of
    // connections anyway, and a station must always be able to read.
    static constexpr qint64 SmallRequest = 64 * 1024;
    // A large request is counted this many times its size, from the moment its length is
    // known: its own bytes, then what its values take once decoded (a section's text is
    // copied out of the request and decoded whole before it is stored).
    static constexpr qint64 RequestShares = 3;
    static constexpr qint64 DefaultLimit = qint64(256) * 1024 * 1024;
    // A peak at least this large is followed by giving the freed memory back.
    static constexpr qint64 TrimAfter = qint64(16) * 1024 * 1024;

    // True when the bytes were taken (always for a small request).
    bool tryReserve(qint64 bytes);
    void release(qint64 bytes);
    // Hands the memory freed since a large peak back to the system, once nothing is held
    // any more; called where a request's buffers are gone, not merely released here.
    void trimIfDue();

    qint64 limit() const { return m_limit; }
    qint64 inUse() const;

    // Bytes taken for as long as it lives; empty when the budget could not hold them.
    class Reservation
    {
    public:
        Reservation() = default;
        Reservation(ByteBudget *budget, qint64 bytes);
        ~Reservation() { reset(); }
        Reservation(Reservation &&other) noexcept { *this = std::move(other); }
        Reservation &operator=(Reservation &&other) noexcept;
        Reservation(const Reservation &) = delete;
        Reservation &operator=(const Reservation &) = delete;

        // True when the bytes are held (or no budget applies).
        bool held() const { return m_held; }
        void reset();

    private:
        ByteBudget *m_budget = nullptr;
        qint64 m_bytes = 0;
        bool m_held = true;
    };

    // What a station is told when its save does not fit (nothing of it was stored).
    static QString refusalMessage(qint64 bytes);

private:
    const qint64 m_limit;
    mutable std::mutex m_lock;
    qint64 m_used = 0;
    qint64 m_peak = 0; // most held since memory was last handed back
    bool m_trimDue = false;
};

} // namespace kmp::server
