#pragma once

// What the security, fault and audit tests share: a real kmp-appserver process on an
// ephemeral loopback port whose log can be waited on, test certificates made with openssl
// at run time, a client-key file, and clients configured for all of it.

#include "client.h"
#include "dispatcher.h"
#include "message.h"
#include "testcertificates.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace kmp::test {

inline QString binary(const char *name)
{
    return QStringLiteral(KMP_BINARY_DIR "/bin/") + QLatin1String(name);
}

inline wire::Request request(const QString &method, const QCborArray &args)
{
    wire::Request r;
    r.module = server::ModuleName;
    r.guid = server::ModuleGuid;
    r.method = method;
    r.args = args;
    return r;
}

struct ToolRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

inline ToolRun runTool(const QString &program, const QStringList &args, const QStringList &env = {},
                       int timeoutMs = 60000)
{
    QProcess p;
    if (!env.isEmpty()) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString &kv : env)
            e.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
        p.setProcessEnvironment(e);
    }
    p.start(program, args);
    ToolRun r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// A kmp-appserver on an ephemeral loopback port; its stderr (the log) is kept. Stopped
// (SIGTERM, then SIGKILL) when the test ends.
class ServerProcess
{
public:
    bool start(const QString &database, const QStringList &extra = {})
    {
        m_process.setProgram(binary("kmp-appserver"));
        m_process.setArguments(QStringList{QStringLiteral("serve"), QStringLiteral("--listen"),
                                           QStringLiteral("127.0.0.1:0"), QStringLiteral("--database"), database}
                               + extra);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer t;
        t.start();
        QByteArray out;
        while (t.elapsed() < 15000) {
            if (!m_process.waitForReadyRead(200) && m_process.state() != QProcess::Running)
                break;
            out += m_process.readAllStandardOutput();
            const qsizetype at = out.indexOf("listening on ");
            const qsizetype end = out.indexOf('\n', at);
            if (at >= 0 && end > at) {
                const QByteArray line = out.mid(at, end - at);
                m_port = quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
                return m_port != 0;
            }
        }
        qWarning("server did not start: %s", log().constData());
        return false;
    }

    ~ServerProcess() { stop(); }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000)) {
                m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
    }

    // SIGKILL: no clean-up of any kind, as in a crash or a power cut of the process.
    void killHard()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    QByteArray log()
    {
        m_log += m_process.readAllStandardError();
        return m_log;
    }

    // Waits until the log holds every one of the parts on one line.
    bool waitForLogLine(const QStringList &parts, int ms = 10000)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            const QList<QByteArray> lines = log().split('\n');
            for (const QByteArray &l : lines) {
                const QString line = QString::fromUtf8(l);
                if (std::all_of(parts.begin(), parts.end(), [&](const QString &p) { return line.contains(p); }))
                    return true;
            }
            if (t.elapsed() > ms)
                return false;
            m_process.waitForReadyRead(100);
        }
    }

private:
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_log;
};

// The client key every test uses, and a file holding it (readable by its owner only).
inline const QString kKeyName = QStringLiteral("consultorio-3");
inline const QByteArray kSecret = QByteArrayLiteral("s3nha-longa-do-consultorio-3");

inline QString writeKeyFile(const QTemporaryDir &dir, const QByteArray &content = {},
                            QFileDevice::Permissions perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner)
{
    static int counter = 0;
    const QString path = dir.filePath(QStringLiteral("keys-%1").arg(++counter));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write(content.isEmpty() ? "# chaves da clínica\nrecepcao-1:outra-senha-bem-comprida\n" + kKeyName.toUtf8() + ":" + kSecret + "\n"
                              : content);
    f.close();
    f.setPermissions(perms);
    return path;
}

// True once the server has closed the socket (within ms).
inline bool waitClosed(QTcpSocket &s, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (s.state() == QAbstractSocket::ConnectedState && t.elapsed() < ms)
        s.waitForReadyRead(100);
    return s.state() != QAbstractSocket::ConnectedState;
}

inline void configureClient(wire::Client &c, quint16 port, int readMs = 15000)
{
    c.setEndpoint(QStringLiteral("127.0.0.1"), port);
    c.setTimeouts(3000, readMs);
}

} // namespace kmp::test
