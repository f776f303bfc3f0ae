#include "auth.h"

#include <QCborMap>
#include <QCborValue>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

namespace kmp::wire::auth {

namespace {

const QLatin1String kAuth("auth");
const QLatin1String kChallengeKind("hmac-sha256");
const QLatin1String kAnswerKind("answer");

std::optional<QCborMap> parseMap(const QByteArray &body)
{
    QCborParserError err;
    const QCborValue v = QCborValue::fromCbor(body, &err);
    if (err.error != QCborError::NoError || err.offset != body.size() || !v.isMap())
        return std::nullopt;
    return v.toMap();
}

} // namespace

QByteArray newNonce()
{
    QByteArray nonce(NonceSize, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(nonce.data()), NonceSize / 4);
    return nonce;
}

QByteArray mac(const QByteArray &secret, const QByteArray &nonce)
{
    return QMessageAuthenticationCode::hash(nonce, secret, QCryptographicHash::Sha256);
}

bool equalConstantTime(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool isValidKeyName(const QString &name)
{
    if (name.isEmpty() || name.size() > MaxKeyNameLength)
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok =
            (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.' || u == '_' || u == '-';
        if (!ok)
            return false;
    }
    return true;
}

QByteArray encodeChallenge(const QByteArray &nonce)
{
    QCborMap m;
    m.insert(kAuth, kChallengeKind);
    m.insert(QLatin1String("version"), 1);
    m.insert(QLatin1String("nonce"), nonce);
    return m.toCborValue().toCbor();
}

std::optional<QByteArray> decodeChallenge(const QByteArray &body)
{
    const auto m = parseMap(body);
    if (!m || m->value(kAuth).toString() != kChallengeKind)
        return std::nullopt;
    const QCborValue nonce = m->value(QLatin1String("nonce"));
    if (!nonce.isByteArray() || nonce.toByteArray().size() != NonceSize)
        return std::nullopt;
    return nonce.toByteArray();
}

QByteArray encodeAnswer(const Answer &answer)
{
    QCborMap m;
    m.insert(kAuth, kAnswerKind);
    m.insert(QLatin1String("key"), answer.keyName);
    m.insert(QLatin1String("mac"), answer.mac);
    return m.toCborValue().toCbor();
}

std::optional<Answer> decodeAnswer(const QByteArray &body)
{
    const auto m = parseMap(body);
    if (!m || m->value(kAuth).toString() != kAnswerKind)
        return std::nullopt;
    const QCborValue key = m->value(QLatin1String("key"));
    const QCborValue code = m->value(QLatin1String("mac"));
    if (!key.isString() || !code.isByteArray())
        return std::nullopt;
    return Answer{key.toString(), code.toByteArray()};
}

} // namespace kmp::wire::auth
