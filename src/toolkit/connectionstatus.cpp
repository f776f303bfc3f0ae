#include "connectionstatus.h"

ConnectionStatus &ConnectionStatus::instance()
{
    static ConnectionStatus status;
    return status;
}

void ConnectionStatus::report(State state, const QString &endpoint)
{
    if (state == m_state && endpoint == m_endpoint)
        return;
    m_state = state;
    m_endpoint = endpoint;
    Q_EMIT changed(state, endpoint);
}
