#include "tnetconnection.h"

#include "clientshelf.h"
#include "connectionstatus.h"
#include "hostservices.h"
#include "showavi.h"

namespace kmp {

namespace {

int envMs(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

QWidget *busyParent()
{
    return HostServices::instance() ? HostServices::instance()->mainForm() : nullptr;
}

// Saves show "saving", everything else "loading": the texts the screens use for them (a
// batch with a save in it shows "saving").
int animationFor(const QList<kmp::wire::Request> &batch)
{
    for (const kmp::wire::Request &r : batch)
        if (r.method.startsWith(QLatin1String("Set")))
            return 1;
    return 6;
}

} // namespace

TNetConnection::TNetConnection(QObject *parent)
    : QObject(parent), m_client(std::make_unique<kmp::wire::Client>()), m_connectMs(envMs("KMP_CONNECT_TIMEOUT_MS", 5000)),
      m_readMs(envMs("KMP_READ_TIMEOUT_MS", 30000))
{
}

TNetConnection::~TNetConnection()
{
    // Nothing here may throw; a connection the shelf does not keep is closed by the client.
    kmp::wire::ClientShelf::instance().park(std::move(m_client));
}

void TNetConnection::setTimeouts(int connectMs, int readMs)
{
    m_connectMs = connectMs;
    m_readMs = readMs;
}

bool TNetConnection::open(bool mayConnect)
{
    if (OnBeforeConnect)
        OnBeforeConnect(*this);
    if (Port <= 0 || Port > 65535)
        throw kmp::wire::ConnectionError(QStringLiteral("Servidor de aplicação sem porta válida (%1:%2).").arg(Host).arg(Port));
    // The station's key and the server's certificate check come from the host's settings.
    const ConnectionSecurity security = HostServices::instance() ? HostServices::instance()->security() : ConnectionSecurity{};
    const QByteArray secret = security.keyName.isEmpty() ? QByteArray() : security.keySecret;
    if (auto idle =
            kmp::wire::ClientShelf::instance().take(Host, quint16(Port), security.keyName, secret, security.tls, security.caFile))
        m_client = std::move(idle);
    m_client->setEndpoint(Host, quint16(Port));
    m_client->setTimeouts(m_connectMs, m_readMs);
    m_client->setCredentials(security.keyName, secret);
    m_client->setTls(security.tls, security.caFile);
    if (!m_client->isConnected()) {
        if (!mayConnect)
            return false;
        // Every wait on the server shows the indicator and keeps input from piling up
        // behind it.
        kmp::BusyIndicator busy(busyParent(), 0);
        try {
            m_client->connectToServer();
        } catch (const kmp::wire::ConnectionError &) {
            ConnectionStatus::instance().report(ConnectionStatus::Failed, endpoint());
            throw;
        }
    }
    ConnectionStatus::instance().report(ConnectionStatus::Connected, endpoint());
    return true;
}

QString TNetConnection::endpoint() const
{
    return QStringLiteral("%1:%2").arg(Host).arg(Port);
}

bool TNetConnection::connectIfIdle()
{
    try {
        if (!m_client->isConnected() && !open(false))
            return false;
    } catch (const kmp::Error &) {
        return false;
    }
    // An idle connection the server has closed since (a restart) would have to connect
    // again: that is a real connect, for the caller's normal path to make.
    if (m_client->connectionStillUsable())
        return true;
    m_client->disconnectFromServer();
    return false;
}

void TNetConnection::setConnected(bool on)
{
    if (!on) {
        if (!m_client->isConnected()) {
            m_client->disconnectFromServer();
            return;
        }
        kmp::wire::ClientShelf::instance().park(std::move(m_client));
        m_client = std::make_unique<kmp::wire::Client>();
        ConnectionStatus::instance().report(ConnectionStatus::Idle, endpoint());
        return;
    }
    if (!m_client->isConnected())
        open();
}

bool TNetConnection::connected() const
{
    return m_client->isConnected();
}

kmp::wire::Request TNetConnection::request(const QString &method, const QCborArray &args) const
{
    kmp::wire::Request r;
    r.module = ServerName;
    r.guid = ServerGUID;
    r.method = method;
    r.args = args;
    return r;
}

TNetConnection::Batch TNetConnection::batchFor(const QList<Call> &calls) const
{
    Batch batch;
    for (const Call &c : calls)
        batch << request(c.method, c.args);
    return batch;
}

kmp::wire::Response TNetConnection::call(const QString &method, const QCborArray &args)
{
    const QList<kmp::wire::Response> responses = callAll({{method, args}});
    return responses.front();
}

QList<kmp::wire::Response> TNetConnection::callAll(const QList<Call> &calls)
{
    if (calls.isEmpty())
        return {};
    if (!m_client->isConnected())
        open();
    Batch batch = batchFor(calls);
    // One indicator for the whole exchange, shown before the requests leave.
    kmp::BusyIndicator busy(busyParent(), animationFor(batch));
    return answers(send(std::move(batch)));
}

TNetConnection::Batch TNetConnection::sendAll(const QList<Call> &calls)
{
    if (calls.isEmpty())
        return {};
    if (!m_client->isConnected())
        open();
    return send(batchFor(calls));
}

QList<kmp::wire::Response> TNetConnection::receiveAll(const Batch &batch)
{
    if (batch.isEmpty())
        return {};
    kmp::BusyIndicator busy(busyParent(), animationFor(batch));
    return answers(batch);
}

TNetConnection::Batch TNetConnection::send(Batch batch)
{
    try {
        return m_client->send(std::move(batch));
    } catch (const kmp::wire::ConnectionError &) {
        ConnectionStatus::instance().report(ConnectionStatus::Failed, endpoint());
        throw;
    }
}

QList<kmp::wire::Response> TNetConnection::answers(const Batch &batch)
{
    try {
        QList<kmp::wire::Response> responses = m_client->receive(batch);
        ConnectionStatus::instance().report(ConnectionStatus::Connected, endpoint());
        return responses;
    } catch (const kmp::wire::ConnectionError &) {
        ConnectionStatus::instance().report(ConnectionStatus::Failed, endpoint());
        throw;
    }
}

} // namespace kmp
