#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <memory>
#include <vector>

// A TCP proxy on loopback that behaves like a slow link between two sites: each direction
// carries at most bitsPerSecond, every byte arrives half a round trip after it has gone
// through, and a new connection cannot carry data before one round trip has passed (the
// TCP handshake). It runs on its own thread, since the screen's calls block the thread
// they are made on. Towards the server it connects from 127.0.0.2, so that the server sees
// a station at another address, as the stations of another site are.
class SlowLink : public QObject
{
public:
    SlowLink(quint16 targetPort, double bitsPerSecond, int roundTripMs)
        : m_target(targetPort), m_bitsPerSecond(bitsPerSecond), m_roundTripMs(roundTripMs)
    {
        m_clock.start();
    }

    // Call on the proxy's thread (through a blocking queued invocation).
    quint16 listen()
    {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &SlowLink::accept);
        return m_server->listen(QHostAddress::LocalHost, 0) ? m_server->serverPort() : 0;
    }

    qint64 bytesToClients() const { return m_toClients.load(); }
    // Requests (frames from clients) and connections carried so far.
    qint64 requests() const { return m_requests.load(); }
    qint64 connections() const { return m_connections.load(); }
    // Exchanges: runs of requests sent without waiting for an answer in between. Each
    // costs the client at least one round trip, as does each connection's handshake.
    qint64 exchanges() const { return m_exchanges.load(); }

private:
    struct Chunk
    {
        double dueMs;
        QByteArray data;
    };
    // One direction of one connection.
    struct Pipe
    {
        QPointer<QTcpSocket> from, to;
        double freeAtMs = 0; // when the link has sent everything queued so far
        std::deque<Chunk> queue;
        bool closing = false;
        bool toClient = false;
        bool answered = true;  // up: the server sent something since the last request
        QByteArray head;       // the part of a frame's length read so far
        quint64 frameLeft = 0; // bytes of the current frame still to come
    };
    struct Connection
    {
        Pipe up, down;
        QTimer *timer = nullptr;
    };

    void accept()
    {
        while (QTcpSocket *client = m_server->nextPendingConnection()) {
            auto *server = new QTcpSocket(this);
            server->bind(QHostAddress(QStringLiteral("127.0.0.2")));
            client->setParent(this);
            client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            server->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            server->connectToHost(QHostAddress::LocalHost, m_target);
            ++m_connections;
            auto c = std::make_shared<Connection>();
            const double opened = now();
            c->up.from = client;
            c->up.to = server;
            c->up.freeAtMs = opened + m_roundTripMs; // the handshake comes first
            c->down.from = server;
            c->down.to = client;
            c->down.freeAtMs = opened;
            c->down.toClient = true;
            c->timer = new QTimer(this);
            c->timer->setSingleShot(true);
            c->timer->setTimerType(Qt::PreciseTimer);
            connect(c->timer, &QTimer::timeout, this, [this, c]() { deliver(*c); });
            for (Pipe *p : {&c->up, &c->down}) {
                connect(p->from, &QTcpSocket::readyRead, this, [this, c, p]() { take(*c, *p); });
                connect(p->from, &QTcpSocket::disconnected, this, [this, c, p]() {
                    take(*c, *p);
                    p->closing = true;
                    deliver(*c);
                });
            }
        }
    }

    double now() const { return m_clock.nsecsElapsed() / 1e6; }

    void take(Connection &c, Pipe &p)
    {
        if (!p.from)
            return;
        const QByteArray data = p.from->readAll();
        if (data.isEmpty())
            return;
        if (p.toClient) {
            c.up.answered = true;
        } else {
            if (p.answered)
                ++m_exchanges;
            p.answered = false;
            countFrames(p, data);
        }
        const double start = std::max(now(), p.freeAtMs);
        p.freeAtMs = start + data.size() * 8.0 / m_bitsPerSecond * 1000.0;
        p.queue.push_back({p.freeAtMs + m_roundTripMs / 2.0, data});
        schedule(c);
    }

    // Follows the 4-byte lengths of the frames going to the server, to count requests.
    void countFrames(Pipe &p, const QByteArray &data)
    {
        qsizetype i = 0;
        while (i < data.size()) {
            if (p.frameLeft > 0) {
                const qsizetype n = qsizetype(std::min<quint64>(p.frameLeft, quint64(data.size() - i)));
                p.frameLeft -= quint64(n);
                i += n;
                continue;
            }
            p.head += data[i++];
            if (p.head.size() == 4) {
                p.frameLeft = qFromBigEndian<quint32>(p.head.constData());
                p.head.clear();
                ++m_requests;
            }
        }
    }

    void deliver(Connection &c)
    {
        const double t = now();
        for (Pipe *p : {&c.up, &c.down}) {
            while (!p->queue.empty() && p->queue.front().dueMs <= t) {
                if (p->to && p->to->state() == QAbstractSocket::ConnectedState) {
                    p->to->write(p->queue.front().data);
                    if (p->toClient)
                        m_toClients += p->queue.front().data.size();
                } else if (p->to && p->to->state() != QAbstractSocket::UnconnectedState) {
                    break; // the server side is still connecting: keep it for the next round
                }
                p->queue.pop_front();
            }
            if (p->closing && p->queue.empty() && p->to)
                p->to->disconnectFromHost();
        }
        schedule(c);
    }

    void schedule(Connection &c)
    {
        double next = -1;
        for (Pipe *p : {&c.up, &c.down})
            if (!p->queue.empty() && (next < 0 || p->queue.front().dueMs < next))
                next = p->queue.front().dueMs;
        if (next < 0)
            return;
        c.timer->start(std::max(0, int(std::ceil(next - now()))));
    }

    quint16 m_target;
    double m_bitsPerSecond;
    int m_roundTripMs;
    QElapsedTimer m_clock;
    QTcpServer *m_server = nullptr;
    std::atomic<qint64> m_toClients{0};
    std::atomic<qint64> m_requests{0};
    std::atomic<qint64> m_connections{0};
    std::atomic<qint64> m_exchanges{0};
};
