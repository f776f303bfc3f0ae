#include "tlsidentity.h"

#include "error.h"

#include <QFile>
#include <QSslSocket>

namespace kmp::server {

TlsIdentity TlsIdentity::load(const QString &certFile, const QString &keyFile, QStringList *warnings)
{
    if (!QSslSocket::supportsSsl())
        throw kmp::Error(QStringLiteral("Este sistema não tem suporte a TLS (biblioteca OpenSSL ausente)."));
    TlsIdentity id;
    id.chain = QSslCertificate::fromPath(certFile, QSsl::Pem);
    if (id.chain.isEmpty())
        throw kmp::Error(QStringLiteral("O arquivo %1 (--tls-cert) não pôde ser lido ou não contém um certificado PEM.")
                             .arg(certFile));
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly))
        throw kmp::Error(QStringLiteral("Não foi possível ler a chave privada %1 (--tls-key): %2")
                             .arg(keyFile, file.errorString()));
    if (warnings && (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther)))
        *warnings << QStringLiteral("aviso: a chave privada %1 pode ser lida por outros usuários (chmod 600)").arg(keyFile);
    const QByteArray pem = file.readAll();
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) {
            id.key = key;
            break;
        }
    }
    if (id.key.isNull())
        throw kmp::Error(QStringLiteral("A chave privada %1 (--tls-key) não pôde ser lida (PEM sem senha, RSA ou EC).")
                             .arg(keyFile));
    return id;
}

} // namespace kmp::server
