#pragma once

#include <QObject>
#include <QString>

namespace kmp {

// What the station's server connections are doing, for the host's status bar. Every
// TNetConnection reports here as it connects, fails or closes; the host only listens.
class ConnectionStatus : public QObject
{
    Q_OBJECT
public:
    enum State { Idle, Connected, Failed };
    Q_ENUM(State)

    static ConnectionStatus &instance();

    State state() const { return m_state; }

    void report(State state, const QString &endpoint);

Q_SIGNALS:
    void changed(ConnectionStatus::State state, const QString &endpoint);

private:
    ConnectionStatus() = default;
    State m_state = Idle;
    QString m_endpoint;
};

} // namespace kmp
