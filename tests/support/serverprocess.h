#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace kmp::test {

// Where the build put an executable (kmp-appserver, kmp-call, kmp-host...).
QString binary(const char *name);

// A real kmp-appserver serving a database on a loopback port: an ephemeral one on the
// first start, the same one again on a restart, so clients configured for it find it.
// Stopped (SIGTERM, then SIGKILL) when it goes out of scope.
class ServerProcess
{
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // --quiet: no line per call in the log (the default keeps them, for tests reading it).
    void setQuiet(bool quiet) { m_quiet = quiet; }
    // Lets the server's log through to this process's stderr instead of keeping it.
    void setForwardLog(bool forward) { m_forwardLog = forward; }

    // Starts `serve` on database (sqlite:PATH or a PostgreSQL URL) with the extra options and
    // waits until it listens; false with the reason (the server's own words) when it does not.
    bool start(const QString &database, const QStringList &extra = {}, QString *why = nullptr);
    // Starts again on the port it had, with the database and options of the last start.
    bool restart(QString *why = nullptr);
    // Options for the next restart in place of the last start's.
    void setExtraOptions(const QStringList &extra) { m_extra = extra; }

    void stop();     // SIGTERM, then SIGKILL if it does not end
    void killHard(); // SIGKILL: no clean-up of any kind, as in a crash or power cut

    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    // A field of the process's /proc status in KiB ("VmRSS:", "VmHWM:"), -1 when unread;
    // resetPeak() starts VmHWM again from the present size.
    qint64 statusKb(const char *field) const;
    void resetPeak() const;

    // The log (stderr) so far.
    QByteArray log();
    // Waits until the log holds every one of the parts on one line.
    bool waitForLogLine(const QStringList &parts, int ms = 10000);

private:
    bool launch(quint16 port, QString *why);

    QProcess m_process;
    QString m_database;
    QStringList m_extra;
    quint16 m_port = 0;
    QByteArray m_log;
    bool m_quiet = false;
    bool m_forwardLog = false;
};

} // namespace kmp::test
