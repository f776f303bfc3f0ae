#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace kmp::wire::auth {

// The client-key handshake, the first frames of a connection to a server that has a key
// file:
//   server -> client   challenge {auth: "hmac-sha256", version: 1, nonce: 32 random bytes}
//   client -> server   answer    {auth: "answer", key: NAME, mac: HMAC-SHA256(secret, nonce)}
//   server -> client   a response with id 0: success, or failure 401 and the server closes
// The secret itself never travels; a fresh nonce per connection means a recorded answer
// is worth nothing on another connection. Without TLS anyone on the path could still
// read the traffic, which is why a server reachable from the network needs both.

constexpr int NonceSize = 32;
constexpr int MacSize = 32;
constexpr int MaxKeyNameLength = 64;

QByteArray newNonce();
QByteArray mac(const QByteArray &secret, const QByteArray &nonce);

// Compares in time that depends only on the lengths, so a wrong answer tells nothing
// about how much of it was right.
bool equalConstantTime(const QByteArray &a, const QByteArray &b);

// Letters, digits, '.', '_' and '-', 1 to MaxKeyNameLength characters: names are logged
// and stored in the audit trail, so nothing that could break a log line gets in.
bool isValidKeyName(const QString &name);

QByteArray encodeChallenge(const QByteArray &nonce);
// The nonce of a challenge frame body; nullopt for anything else.
std::optional<QByteArray> decodeChallenge(const QByteArray &body);

struct Answer
{
    QString keyName;
    QByteArray mac;
};
QByteArray encodeAnswer(const Answer &answer);
// nullopt for a body that is not a well-formed answer.
std::optional<Answer> decodeAnswer(const QByteArray &body);

} // namespace kmp::wire::auth
