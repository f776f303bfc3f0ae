#include "appserver.h"

#include "connectionworker.h"
#include "dbconnection.h"
#include "error.h"
#include "frame.h"
#include "schema.h"

#include <QDateTime>
#include <QTcpSocket>
#include <cstdio>

namespace kmp::server {

void logLine(const QString &line)
{
    static QMutex lock;
    const QByteArray text = (QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QLatin1Char(' ') + line
                             + QLatin1Char('\n'))
                                .toUtf8();
    QMutexLocker guard(&lock);
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

AppServer::AppServer(Options options, QObject *parent) : QTcpServer(parent), m_options(std::move(options))
{
    if (m_options.maxFrame == 0)
        m_options.maxFrame = wire::DefaultMaxFrame;
}

AppServer::~AppServer()
{
    stop();
}

void AppServer::log(const QString &line) const
{
    if (!m_options.quiet)
        logLine(line);
}

void AppServer::start(const QHostAddress &address, quint16 port)
{
    {
        DbConnection db(m_options.database);
        ensureSchema(db);
    }
    m_stop = false;
    if (!listen(address, port))
        throw kmp::Error(QStringLiteral("Não foi possível escutar em %1:%2: %3")
                             .arg(address.toString())
                             .arg(port)
                             .arg(errorString()));
}

void AppServer::incomingConnection(qintptr socketDescriptor)
{
    reapFinished();
    const quint64 number = ++m_counter;
    if (m_active.load() >= m_options.maxConnections) {
        QTcpSocket refused;
        refused.setSocketDescriptor(socketDescriptor);
        refused.abort();
        log(QStringLiteral("conexão #%1 recusada: limite de %2 conexões").arg(number).arg(m_options.maxConnections));
        return;
    }
    ConnectionWorker::Settings settings{m_options.database, m_options.maxFrame,
                                        [this](const QString &line) { log(line); }};
    auto worker = std::make_unique<Worker>();
    Worker *w = worker.get();
    ++m_active;
    w->thread = std::thread([this, w, settings, number, socketDescriptor]() {
        ConnectionWorker(settings, number).run(socketDescriptor, m_stop);
        --m_active;
        w->done = true;
    });
    QMutexLocker guard(&m_workersLock);
    m_workers.push_back(std::move(worker));
}

void AppServer::reapFinished()
{
    QMutexLocker guard(&m_workersLock);
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if ((*it)->done.load()) {
            (*it)->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

void AppServer::stop()
{
    close();
    m_stop = true;
    std::list<std::unique_ptr<Worker>> workers;
    {
        QMutexLocker guard(&m_workersLock);
        workers.swap(m_workers);
    }
    for (auto &w : workers)
        if (w->thread.joinable())
            w->thread.join();
}

} // namespace kmp::server
