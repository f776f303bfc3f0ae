#include "tnetconnection.h"

#include "hostservices.h"

namespace {

int envMs(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

} // namespace

TNetConnection::TNetConnection(QObject *parent)
    : QObject(parent),
      m_connectMs(envMs("KMP_CONNECT_TIMEOUT_MS", 5000)),
      m_readMs(envMs("KMP_READ_TIMEOUT_MS", 30000))
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
        throw kmp::wire::ConnectionError(
            QStringLiteral("Servidor de aplicação sem porta válida (%1:%2).").arg(Host).arg(Port));
    m_client.setEndpoint(Host, quint16(Port));
    m_client.setTimeouts(m_connectMs, m_readMs);
    // The station's key and the server's certificate check come from the host's settings.
    const ConnectionSecurity security = HostServices::instance() ? HostServices::instance()->security()
                                                                 : ConnectionSecurity{};
    if (!security.keyName.isEmpty())
        m_client.setCredentials(security.keyName, security.keySecret);
    m_client.setTls(security.tls, security.caFile);
    m_client.connectToServer();
}

void TNetConnection::setConnected(bool on)
{
    if (!on) {
        m_client.disconnectFromServer();
        return;
    }
    if (!m_client.isConnected())
        open();
}

bool TNetConnection::connected() const
{
    return m_client.isConnected();
}

kmp::wire::Response TNetConnection::call(const QString &method, const QCborArray &args)
{
    if (!m_client.isConnected())
        open();
    kmp::wire::Request request;
    request.module = ServerName;
    request.guid = ServerGUID;
    request.method = method;
    request.args = args;
    return m_client.call(std::move(request));
}
