#include "bytebudget.h"

namespace kmp::server {

bool ByteBudget::tryReserve(qint64 bytes)
{
    if (bytes <= SmallRequest)
        return true;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_used + bytes > m_limit)
        return false;
    m_used += bytes;
    return true;
}

void ByteBudget::release(qint64 bytes)
{
    if (bytes <= SmallRequest)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_used -= bytes;
}

qint64 ByteBudget::inUse() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_used;
}

} // namespace kmp::server
