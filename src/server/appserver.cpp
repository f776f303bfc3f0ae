#include "appserver.h"

#include "backup.h"
#include "connectionworker.h"
#include "controlchars.h"
#include "dbconnection.h"
#include "error.h"
#include "frame.h"
#include "message.h"
#include "schema.h"
#include "serverlog.h"

#include <QTcpSocket>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kmp::server {

void logLine(const QString &line)
{
    // One event, one line: whatever a line quotes from a client (a method name, a key
    // name) cannot start a line of its own or drive the terminal.
    qCInfo(serverLog).noquote() << escapeControlCharacters(line);
}

AppServer::AppServer(Options options, QObject *parent)
    : QTcpServer(parent), m_options(std::move(options)), m_limits(m_options.maxConnections, m_options.maxPerAddress),
      m_budget(m_options.memoryBudget)
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
    if (!address.isLoopback() && (!m_options.tls || !m_options.keys)) {
        QStringList missing;
        if (!m_options.tls)
            missing << QStringLiteral("TLS (--tls-cert e --tls-key)");
        if (!m_options.keys)
            missing << QStringLiteral("chaves de cliente (--keys)");
        throw kmp::Error(QStringLiteral("Recusado escutar em %1, fora do endereço local, sem %2: dados de pacientes "
                                        "passariam pela rede sem proteção. (refusing to listen on a non-loopback "
                                        "address without TLS and client keys; use --listen 127.0.0.1:PORT for a "
                                        "single machine)")
                             .arg(address.toString(), missing.join(QStringLiteral(" e "))));
    }
    {
        DbConnection db(m_options.database);
        const QString copy = prepareSchema(db);
        if (!copy.isEmpty())
            logLine(QStringLiteral("cópia do banco feita antes de atualizar seu esquema para a versão %1: %2")
                        .arg(CurrentSchemaVersion)
                        .arg(copy));
    }
    m_stop = false;
    m_pool = std::make_unique<DbPool>(m_options.database, m_options.dbConnections);
    if (!listen(address, port))
        throw kmp::Error(
            QStringLiteral("Não foi possível escutar em %1:%2: %3").arg(address.toString()).arg(port).arg(errorString()));
}

void AppServer::incomingConnection(qintptr socketDescriptor)
{
    reapFinished();
    const quint64 number = ++m_counter;
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    QHostAddress address;
    quint16 peerPort = 0;
    if (::getpeername(int(socketDescriptor), reinterpret_cast<sockaddr *>(&storage), &length) == 0) {
        address.setAddress(reinterpret_cast<const sockaddr *>(&storage));
        peerPort = storage.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_port)
                                                 : ntohs(reinterpret_cast<const sockaddr_in *>(&storage)->sin_port);
    }
    // Every connection counts as in its handshake until it has proved its key or, on a
    // server without keys, sent its first request: silent sockets give way to newcomers.
    ConnectionLimits::Eviction eviction;
    const ConnectionLimits::Verdict verdict = m_limits.admit(address, true, &eviction);
    if (verdict != ConnectionLimits::Verdict::Admitted) {
        // Say why before closing, so the station shows a reason rather than a lost
        // connection.
        const QString text = verdict == ConnectionLimits::Verdict::TooManyInAll
                                 ? QStringLiteral("O servidor de aplicação está atendendo o número máximo de conexões "
                                                  "(%1). Tente de novo em instantes.")
                                       .arg(m_options.maxConnections)
                                 : QStringLiteral("O servidor de aplicação está atendendo o número máximo de conexões "
                                                  "vindas deste endereço. Tente de novo em instantes.");
        const QByteArray said = wire::frame(wire::encodeResponse(wire::Response::failure(0, wire::ErrorCode::Unavailable, text)));
        if (!m_options.tls) {
            // Small enough for the socket buffer: no waiting here.
            QTcpSocket refused;
            refused.setSocketDescriptor(socketDescriptor);
            refused.write(said);
            refused.flush();
            refused.disconnectFromHost();
            refused.abort();
        } else if (m_refusingOverTls.fetch_add(1) < MaxRefusingOverTls) {
            // A TLS station reads nothing before its handshake: the reason goes after one, on
            // a thread of its own, within a short deadline and a few at a time.
            auto worker = std::make_unique<Worker>();
            Worker *w = worker.get();
            const int deadlineMs = std::min(m_options.handshakeDeadlineMs, 3000);
            w->thread = std::thread([this, w, socketDescriptor, said, deadlineMs]() {
                ConnectionWorker::refuseOverTls(socketDescriptor, *m_options.tls, said, deadlineMs);
                --m_refusingOverTls;
                w->done = true;
            });
            QMutexLocker guard(&m_workersLock);
            m_workers.push_back(std::move(worker));
        } else {
            --m_refusingOverTls;
            ::close(int(socketDescriptor));
        }
        // Refusals are logged even when quiet: they are what an operator needs to see.
        logLine(QStringLiteral("conexão #%1 de %2:%3 recusada: %4")
                    .arg(number)
                    .arg(address.toString())
                    .arg(peerPort)
                    .arg(m_limits.describe(verdict)));
        return;
    }
    ConnectionWorker::Settings settings;
    settings.database = m_options.database;
    settings.pool = m_pool.get();
    settings.budget = &m_budget;
    settings.limits = &m_limits;
    settings.eviction = eviction;
    settings.maxFrame = m_options.maxFrame;
    settings.log = [this](const QString &line) { log(line); };
    settings.warn = [](const QString &line) { logLine(line); };
    settings.keys = m_options.keys;
    settings.tls = m_options.tls;
    settings.idleTimeoutMs = m_options.idleTimeoutMs;
    settings.frameDeadlineMs = m_options.frameDeadlineMs;
    settings.handshakeDeadlineMs = m_options.handshakeDeadlineMs;
    auto worker = std::make_unique<Worker>();
    Worker *w = worker.get();
    w->thread = std::thread([this, w, settings, number, socketDescriptor, address, eviction]() {
        ConnectionWorker(settings, number).run(socketDescriptor, m_stop);
        m_limits.leave(address, eviction);
        // The connection's socket, and any answer still in its buffer, are gone now.
        m_budget.trimIfDue();
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
    // Every client thread has ended: nothing waits on the pool any more.
    m_pool.reset();
}

} // namespace kmp::server
