#pragma once

#include "frame.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <optional>

namespace kmp::test {

// The next whole frame's body from a raw socket within ms, or nothing when the peer closes
// or the time runs out. The reader keeps what arrives past that frame for the next call.
inline std::optional<QByteArray> readFrame(QTcpSocket &s, wire::FrameReader &reader, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        reader.append(s.readAll());
        if (auto body = reader.next())
            return body;
        if (!s.waitForReadyRead(100) && s.state() != QAbstractSocket::ConnectedState)
            break;
    }
    reader.append(s.readAll());
    return reader.next();
}

// The same for a socket that carries one frame at a time.
inline std::optional<QByteArray> readFrame(QTcpSocket &s, int ms = 5000)
{
    wire::FrameReader reader;
    return readFrame(s, reader, ms);
}

} // namespace kmp::test
