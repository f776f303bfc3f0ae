#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

namespace kmp::server {

// The server's certificate chain and private key for TLS (--tls-cert, --tls-key), read
// once at start so that a bad file stops the server before it listens rather than
// failing every connection.
struct TlsIdentity
{
    QList<QSslCertificate> chain; // the server's own certificate first
    QSslKey key;

    // Throws kmp::Error with a readable message (a missing file, no certificate, a key
    // that does not load, a key that does not belong to the certificate, no TLS
    // support). The pair is tried in one TLS handshake over loopback before it is
    // accepted.
    // warnings receives advice that does not stop the server (a key readable by others).
    static TlsIdentity load(const QString &certFile, const QString &keyFile, QStringList *warnings = nullptr);

    // The server side of a connection: this identity, TLS 1.2 or later, and no client
    // certificate asked for (stations prove who they are with their client key).
    QSslConfiguration serverConfiguration() const;
};

} // namespace kmp::server
