#include "tnetconnection.h"

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
int animationFor(const QString &method)
{
    return method.startsWith(QLatin1String("Set")) ? 1 : 6;
}

} // namespace

TNetConnection::TNetConnection(QObject *parent)
    : QObject(parent), m_connectMs(envMs("KMP_CONNECT_TIMEOUT_MS", 5000)), m_readMs(envMs("KMP_READ_TIMEOUT_MS", 30000))
{
}

TNetConnection::~TNetConnection()
{
    // The client closes its socket itself; nothing here may throw.
}

void TNetConnection::setTimeouts(int connectMs, int readMs)
{
    m_connectMs = connectMs;
    m_readMs = readMs;
}

void TNetConnection::open()
{
    if (OnBeforeConnect)
        OnBeforeConnect(*this);
    if (Port <= 0 || Port > 65535)
        throw kmp::wire::ConnectionError(QStringLiteral("Servidor de aplicação sem porta válida (%1:%2).").arg(Host).arg(Port));
    m_client.setEndpoint(Host, quint16(Port));
    m_client.setTimeouts(m_connectMs, m_readMs);
    // The station's key and the server's certificate check come from the host's settings.
    const ConnectionSecurity security = HostServices::instance() ? HostServices::instance()->security() : ConnectionSecurity{};
    if (!security.keyName.isEmpty())
        m_client.setCredentials(security.keyName, security.keySecret);
    m_client.setTls(security.tls, security.caFile);
    // Every wait on the server shows the indicator and keeps input from piling up behind it.
    kmp::BusyIndicator busy(busyParent(), 0);
    const QString endpoint = QStringLiteral("%1:%2").arg(Host).arg(Port);
    try {
        m_client.connectToServer();
    } catch (const kmp::wire::ConnectionError &) {
        ConnectionStatus::instance().report(ConnectionStatus::Failed, endpoint);
        throw;
    }
    ConnectionStatus::instance().report(ConnectionStatus::Connected, endpoint);
}

void TNetConnection::setConnected(bool on)
{
    if (!on) {
        const bool was = m_client.isConnected();
        m_client.disconnectFromServer();
        if (was)
            ConnectionStatus::instance().report(ConnectionStatus::Idle, QStringLiteral("%1:%2").arg(Host).arg(Port));
        return;
    }
    if (!m_client.isConnected())
        open();
}

bool TNetConnection::connected() const
{
    return m_client.isConnected();
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

kmp::wire::Response TNetConnection::call(const QString &method, const QCborArray &args)
{
    const QList<kmp::wire::Response> responses = callAll({{method, args}});
    return responses.front();
}

QList<kmp::wire::Response> TNetConnection::callAll(const QList<Call> &calls)
{
    if (calls.isEmpty())
        return {};
    if (!m_client.isConnected())
        open();
    QList<kmp::wire::Request> requests;
    int animation = animationFor(calls.front().method);
    for (const Call &c : calls) {
        requests << request(c.method, c.args);
        animation = std::min(animation, animationFor(c.method));
    }
    kmp::BusyIndicator busy(busyParent(), animation);
    const QString endpoint = QStringLiteral("%1:%2").arg(Host).arg(Port);
    try {
        QList<kmp::wire::Response> responses = m_client.callPipelined(std::move(requests));
        ConnectionStatus::instance().report(ConnectionStatus::Connected, endpoint);
        return responses;
    } catch (const kmp::wire::ConnectionError &) {
        ConnectionStatus::instance().report(ConnectionStatus::Failed, endpoint);
        throw;
    }
}

} // namespace kmp
