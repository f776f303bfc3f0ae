#pragma once

// What the server benchmarks share: a kmp-appserver process on an ephemeral port, a
// connected client, and order statistics.

#include "client.h"
#include "dispatcher.h"
#include "message.h"

#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace kmp::bench {

class ServerProcess
{
public:
    explicit ServerProcess(const QString &database, const QStringList &extra = {})
    {
        m_process.setProgram(QStringLiteral(KMP_BINARY_DIR "/bin/kmp-appserver"));
        m_process.setArguments(QStringList{QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                QStringLiteral("--quiet"), QStringLiteral("--database"), database}
                               + extra);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        QElapsedTimer t;
        t.start();
        QByteArray out;
        while (t.elapsed() < 20000 && m_port == 0) {
            if (!m_process.waitForReadyRead(200) && m_process.state() != QProcess::Running)
                break;
            out += m_process.readAllStandardOutput();
            const qsizetype at = out.indexOf("listening on ");
            const qsizetype end = out.indexOf('\n', at);
            if (at >= 0 && end > at)
                m_port = quint16(out.mid(out.lastIndexOf(':', end) + 1, end - out.lastIndexOf(':', end) - 1).toUInt());
        }
        if (m_port == 0) {
            std::fprintf(stderr, "kmp-appserver did not start\n");
            std::exit(1);
        }
    }
    ~ServerProcess()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

inline wire::Request request(const QString &method, const QCborArray &args)
{
    wire::Request r;
    r.module = server::ModuleName;
    r.guid = server::ModuleGuid;
    r.method = method;
    r.args = args;
    return r;
}

inline wire::Response callOrDie(wire::Client &c, const wire::Request &r)
{
    wire::Response resp = c.call(r);
    if (!resp.ok) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(r.method), qPrintable(resp.errorMessage));
        std::exit(1);
    }
    return resp;
}

inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

inline double median(std::vector<double> v)
{
    return percentile(std::move(v), 0.5);
}

} // namespace kmp::bench
