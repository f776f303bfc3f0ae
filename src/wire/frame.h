#pragma once

#include <QByteArray>
#include <optional>

namespace kmp::wire {

// Frames on the connection: a 4-byte big-endian length, then that many bytes of CBOR.
constexpr quint32 DefaultMaxFrame = 64u * 1024u * 1024u;

QByteArray frame(const QByteArray &body);

// Collects bytes as they arrive and hands out whole frame bodies. A declared length over
// the limit marks the stream as broken: nothing is buffered for it, the caller closes.
class FrameReader
{
public:
    explicit FrameReader(quint32 maxFrame = DefaultMaxFrame) : m_max(maxFrame) {}

    void append(const QByteArray &bytes);
    std::optional<QByteArray> next();
    bool isBroken() const { return m_broken; }
    quint32 brokenLength() const { return m_brokenLength; }
    qsizetype buffered() const { return m_buffer.size() - m_offset; }
    bool inFrame() const { return buffered() > 0; }

private:
    quint32 m_max;
    QByteArray m_buffer;
    qsizetype m_offset = 0;
    bool m_broken = false;
    quint32 m_brokenLength = 0;
};

} // namespace kmp::wire
