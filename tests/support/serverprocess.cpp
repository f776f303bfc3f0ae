#include "serverprocess.h"

#include <QFile>

#include <QElapsedTimer>

#include <algorithm>

namespace kmp::test {

QString binary(const char *name)
{
    return QStringLiteral(KMP_BINARY_DIR "/bin/") + QLatin1String(name);
}

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::start(const QString &database, const QStringList &extra, QString *why)
{
    stop();
    m_database = database;
    m_extra = extra;
    m_port = 0;
    return launch(0, why);
}

bool ServerProcess::restart(QString *why)
{
    stop();
    return launch(m_port, why);
}

bool ServerProcess::launch(quint16 port, QString *why)
{
    m_log.clear();
    QStringList args{QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port),
                     QStringLiteral("--database"), m_database};
    if (m_quiet)
        args << QStringLiteral("--quiet");
    m_process.setProgram(binary("kmp-appserver"));
    m_process.setArguments(args + m_extra);
    m_process.setProcessChannelMode(m_forwardLog ? QProcess::ForwardedErrorChannel : QProcess::SeparateChannels);
    m_process.start();
    QString reason;
    if (m_process.waitForStarted(10000)) {
        // The server says where it listens on stdout once it accepts connections.
        QElapsedTimer t;
        t.start();
        QByteArray out;
        while (t.elapsed() < 30000) {
            if (!m_process.waitForReadyRead(200)) {
                if (m_process.state() == QProcess::NotRunning)
                    break;
                continue;
            }
            out += m_process.readAllStandardOutput();
            const qsizetype at = out.indexOf("listening on ");
            const qsizetype end = out.indexOf('\n', at);
            if (at >= 0 && end > at) {
                const QByteArray address = out.mid(at + 13, end - at - 13).trimmed();
                m_port = quint16(address.mid(address.lastIndexOf(':') + 1).toUInt());
                if (m_port != 0)
                    return true;
                break;
            }
        }
        reason = QStringLiteral("kmp-appserver did not start listening: ") + QString::fromUtf8(log());
    } else {
        reason = QStringLiteral("kmp-appserver did not start: ") + m_process.errorString();
    }
    stop();
    if (why)
        *why = reason;
    else
        qWarning("%s", qPrintable(reason));
    return false;
}

void ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void ServerProcess::killHard()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

qint64 ServerProcess::statusKb(const char *field) const
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid()));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    return -1;
}

void ServerProcess::resetPeak() const
{
    QFile f(QStringLiteral("/proc/%1/clear_refs").arg(pid()));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

QByteArray ServerProcess::log()
{
    if (!m_forwardLog)
        m_log += m_process.readAllStandardError();
    return m_log;
}

bool ServerProcess::waitForLogLine(const QStringList &parts, int ms)
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

} // namespace kmp::test
