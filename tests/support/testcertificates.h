#pragma once

// Test certificates made with openssl at run time, shared by the TLS tests and the TLS
// benchmark. Needs only QtCore.

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

namespace kmp::test {

// Certificates for the TLS tests, made fresh in a temporary folder: a CA, a server
// certificate for 127.0.0.1 and localhost signed by it, one signed by it for another host
// name, and an unrelated CA that signed nothing this server presents.
class TestCertificates
{
public:
    // False (with the reason) when openssl is not installed or fails.
    bool create(QString *why)
    {
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty()) {
            *why = QStringLiteral("openssl is not installed (Debian package openssl)");
            return false;
        }
        const QString curve = QStringLiteral("ec_paramgen_curve:prime256v1");
        const auto run = [&](const QStringList &args) {
            QProcess p;
            p.setWorkingDirectory(m_dir.path());
            p.start(QStringLiteral("openssl"), args);
            if (!p.waitForFinished(30000) || p.exitCode() != 0) {
                *why = QStringLiteral("openssl %1 failed: %2").arg(args.first(), QString::fromUtf8(p.readAllStandardError()));
                return false;
            }
            return true;
        };
        const auto selfSigned = [&](const QString &name, const QString &cn) {
            return run({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                        QStringLiteral("-pkeyopt"), curve, QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                        name + QStringLiteral(".key"), QStringLiteral("-out"), name + QStringLiteral(".pem"),
                        QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=") + cn});
        };
        const auto signedBy = [&](const QString &name, const QString &san) {
            QFile ext(m_dir.filePath(name + QStringLiteral(".ext")));
            if (!ext.open(QIODevice::WriteOnly))
                return false;
            ext.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=");
            ext.write(san.toUtf8() + "\n");
            ext.close();
            return run({QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"), curve,
                        QStringLiteral("-nodes"), QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                        QStringLiteral("-out"), name + QStringLiteral(".csr"), QStringLiteral("-subj"),
                        QStringLiteral("/CN=kmp-appserver")})
                   && run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), name + QStringLiteral(".csr"),
                           QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                           QStringLiteral("-set_serial"), QString::number(++m_serial), QStringLiteral("-days"),
                           QStringLiteral("2"), QStringLiteral("-extfile"), name + QStringLiteral(".ext"), QStringLiteral("-out"),
                           name + QStringLiteral(".pem")});
        };
        return selfSigned(QStringLiteral("ca"), QStringLiteral("KMP Clinic Test CA"))
               && selfSigned(QStringLiteral("rogue-ca"), QStringLiteral("Unrelated Test CA"))
               && signedBy(QStringLiteral("server"), QStringLiteral("IP:127.0.0.1,DNS:localhost"))
               && signedBy(QStringLiteral("other-host"), QStringLiteral("DNS:other.example"));
    }

    QString path(const char *file) const { return m_dir.filePath(QLatin1String(file)); }
    QString ca() const { return path("ca.pem"); }
    QString rogueCa() const { return path("rogue-ca.pem"); }
    // --tls-cert / --tls-key for the server's proper certificate.
    QStringList serverOptions() const
    {
        return {QStringLiteral("--tls-cert"), path("server.pem"), QStringLiteral("--tls-key"), path("server.key")};
    }
    QStringList otherHostOptions() const
    {
        return {QStringLiteral("--tls-cert"), path("other-host.pem"), QStringLiteral("--tls-key"), path("other-host.key")};
    }

private:
    QTemporaryDir m_dir;
    int m_serial = 0;
};

} // namespace kmp::test
