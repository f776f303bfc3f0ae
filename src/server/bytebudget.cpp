#include "bytebudget.h"

#include <malloc.h>

namespace kmp::server {

bool ByteBudget::tryReserve(qint64 bytes)
{
    if (bytes <= SmallRequest)
        return true;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_used + bytes > m_limit)
        return false;
    m_used += bytes;
    m_peak = std::max(m_peak, m_used);
    return true;
}

void ByteBudget::release(qint64 bytes)
{
    if (bytes <= SmallRequest)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_used -= bytes;
    if (m_used == 0 && m_peak >= TrimAfter) {
        m_peak = 0;
        m_trimDue = true;
    }
}

void ByteBudget::trimIfDue()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_trimDue || m_used > 0)
            return;
        m_trimDue = false;
    }
    // The allocator keeps what large requests freed for later use, in every thread's
    // arena; after a peak that can be hundreds of megabytes the server no longer needs.
    malloc_trim(0);
}

qint64 ByteBudget::inUse() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_used;
}

ByteBudget::Reservation::Reservation(ByteBudget *budget, qint64 bytes) : m_budget(budget), m_bytes(bytes)
{
    m_held = !budget || budget->tryReserve(bytes);
    if (!m_held)
        m_budget = nullptr;
}

ByteBudget::Reservation &ByteBudget::Reservation::operator=(Reservation &&other) noexcept
{
    if (this != &other) {
        reset();
        m_budget = other.m_budget;
        m_bytes = other.m_bytes;
        m_held = other.m_held;
        other.m_budget = nullptr;
    }
    return *this;
}

void ByteBudget::Reservation::reset()
{
    if (m_budget)
        m_budget->release(m_bytes);
    m_budget = nullptr;
}

QString ByteBudget::refusalMessage(qint64 bytes)
{
    return QStringLiteral("O servidor está recebendo outras gravações grandes neste momento e não pôde aceitar esta "
                          "(%1 MB). Nada foi gravado; tente de novo em instantes.")
        .arg(QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1));
}

} // namespace kmp::server
