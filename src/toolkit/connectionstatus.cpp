#include "connectionstatus.h"

#include <QThread>

namespace kmp {

ConnectionStatus &ConnectionStatus::instance()
{
    static ConnectionStatus status;
    return status;
}

void ConnectionStatus::report(State state, const QString &endpoint)
{
    // Only the user-interface thread's connections are the station's to show; a worker's
    // would race the status bar.
    if (QThread::currentThread() != thread())
        return;
    if (state == m_state && endpoint == m_endpoint)
        return;
    m_state = state;
    m_endpoint = endpoint;
    Q_EMIT changed(state, endpoint);
}

} // namespace kmp
