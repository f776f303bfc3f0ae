#include "frame.h"

#include <QtEndian>

namespace kmp::wire {

QByteArray frame(const QByteArray &body)
{
    QByteArray out;
    out.resize(4);
    qToBigEndian<quint32>(quint32(body.size()), out.data());
    out.append(body);
    return out;
}

void FrameReader::append(const QByteArray &bytes)
{
    if (m_broken)
        return;
    // Drop what was already handed out before growing, so a long session does not
    // keep every past frame alive.
    if (m_offset > 0 && m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    } else if (m_offset > (1 << 20)) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(bytes);
}

std::optional<QByteArray> FrameReader::next()
{
    if (m_broken || buffered() < 4)
        return std::nullopt;
    const quint32 len = qFromBigEndian<quint32>(m_buffer.constData() + m_offset);
    if (len > m_max) {
        m_broken = true;
        m_brokenLength = len;
        m_buffer.clear();
        m_offset = 0;
        return std::nullopt;
    }
    if (buffered() < qsizetype(4 + len))
        return std::nullopt;
    QByteArray body = m_buffer.mid(m_offset + 4, len);
    m_offset += 4 + len;
    return body;
}

} // namespace kmp::wire
