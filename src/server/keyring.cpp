#include "keyring.h"

#include "auth.h"
#include "error.h"

#include <QFile>
#include <QFileInfo>

namespace kmp::server {

KeyRing KeyRing::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw kmp::Error(QStringLiteral("Não foi possível ler o arquivo de chaves %1: %2").arg(path, file.errorString()));
    const QFileDevice::Permissions others =
        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    if (file.permissions() & others)
        throw kmp::Error(QStringLiteral("O arquivo de chaves %1 pode ser lido ou alterado por outros usuários; "
                                        "restrinja-o ao usuário do servidor (chmod 600 %1). "
                                        "(key file is accessible to group/others; refusing to use it)")
                             .arg(path));
    return parse(file.readAll(), path);
}

KeyRing KeyRing::parse(const QByteArray &text, const QString &origin)
{
    KeyRing ring;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QString where = QStringLiteral("%1, linha %2").arg(origin).arg(i + 1);
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            throw kmp::Error(QStringLiteral("%1: esperava NOME:SEGREDO.").arg(where));
        const QString name = QString::fromUtf8(line.left(colon)).trimmed();
        const QByteArray secret = line.mid(colon + 1).trimmed();
        if (!wire::auth::isValidKeyName(name))
            throw kmp::Error(QStringLiteral("%1: nome de chave inválido (use letras, dígitos, '.', '_' ou '-', até %2).")
                                 .arg(where)
                                 .arg(wire::auth::MaxKeyNameLength));
        if (secret.size() < MinSecretLength)
            throw kmp::Error(QStringLiteral("%1: o segredo da chave %2 é curto demais (mínimo %3 caracteres).")
                                 .arg(where, name)
                                 .arg(MinSecretLength));
        if (!ring.m_keys.emplace(name, secret).second)
            throw kmp::Error(QStringLiteral("%1: a chave %2 aparece mais de uma vez.").arg(where, name));
    }
    if (ring.m_keys.empty())
        throw kmp::Error(QStringLiteral("O arquivo de chaves %1 não tem nenhuma chave.").arg(origin));
    return ring;
}

std::optional<QByteArray> KeyRing::secret(const QString &name) const
{
    const auto it = m_keys.find(name);
    if (it == m_keys.end())
        return std::nullopt;
    return it->second;
}

} // namespace kmp::server
