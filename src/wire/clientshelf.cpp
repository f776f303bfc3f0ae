#include "clientshelf.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <algorithm>

namespace kmp::wire {

namespace {

bool onMainThread()
{
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

// The sockets must be closed while the application (and its event dispatcher) still
// exists, not by the static's destructor after main() returned.
void closeAllAtExit()
{
    ClientShelf::instance().clear();
}

} // namespace

ClientShelf &ClientShelf::instance()
{
    static ClientShelf shelf;
    return shelf;
}

void ClientShelf::setLifetime(int ms)
{
    QMutexLocker g(&m_lock);
    m_lifetimeMs = std::max(0, ms);
}

int ClientShelf::parked() const
{
    QMutexLocker g(&m_lock);
    return int(m_entries.size());
}

std::vector<std::unique_ptr<Client>> ClientShelf::takeExpired()
{
    std::vector<std::unique_ptr<Client>> out;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->expires.hasExpired()) {
            out.push_back(std::move(it->client));
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

void ClientShelf::park(std::unique_ptr<Client> client)
{
    // A connection with answers still on their way is of no use to anyone else.
    if (!client || !client->isConnected() || client->holdsAnswers() || !onMainThread())
        return; // closed by the unique_ptr
    std::vector<std::unique_ptr<Client>> closing;
    int lifetime = 0;
    {
        QMutexLocker g(&m_lock);
        static const bool registered = (qAddPostRoutine(closeAllAtExit), true);
        Q_UNUSED(registered);
        closing = takeExpired();
        lifetime = m_lifetimeMs;
        if (lifetime == 0)
            return;
        m_entries.push_back({std::move(client), QDeadlineTimer(lifetime)});
        while (int(m_entries.size()) > MaxParked) {
            closing.push_back(std::move(m_entries.front().client));
            m_entries.erase(m_entries.begin());
        }
    }
    // Closed on time even if nothing else is parked or taken meanwhile, so the server is
    // not left holding a connection nobody will use.
    QTimer::singleShot(lifetime + 50, QCoreApplication::instance(), [] { instance().sweep(); });
}

std::unique_ptr<Client> ClientShelf::take(const QString &host, quint16 port, const QString &keyName, const QByteArray &secret,
                                          bool tls, const QString &caFile)
{
    if (!onMainThread())
        return nullptr;
    std::vector<std::unique_ptr<Client>> closing;
    std::unique_ptr<Client> found;
    {
        QMutexLocker g(&m_lock);
        closing = takeExpired();
        // The most recently parked first: the likeliest to be still open at the server.
        for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
            if (it->client->sameServer(host, port, keyName, secret, tls, caFile)) {
                found = std::move(it->client);
                m_entries.erase(std::next(it).base());
                break;
            }
        }
    }
    return found;
}

void ClientShelf::sweep()
{
    std::vector<std::unique_ptr<Client>> closing;
    QMutexLocker g(&m_lock);
    closing = takeExpired();
    g.unlock();
}

void ClientShelf::clear()
{
    std::vector<Entry> closing;
    QMutexLocker g(&m_lock);
    closing.swap(m_entries);
    g.unlock();
}

} // namespace kmp::wire
