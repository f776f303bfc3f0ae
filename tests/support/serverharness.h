#pragma once

// What the security, fault and audit tests share: a real kmp-appserver process on an
// ephemeral loopback port whose log can be waited on, test certificates made with openssl
// at run time, a client-key file, and clients configured for all of it.

#include "client.h"
#include "dispatcher.h"
#include "message.h"
#include "serverprocess.h"
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

inline ToolRun runTool(const QString &program, const QStringList &args, const QStringList &env = {}, int timeoutMs = 60000)
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
    f.write(content.isEmpty()
                ? "# chaves da clínica\nrecepcao-1:outra-senha-bem-comprida\n" + kKeyName.toUtf8() + ":" + kSecret + "\n"
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
