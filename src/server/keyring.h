#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <optional>

namespace kmp::server {

// The client keys a server accepts, read from its key file (--keys): one "name:secret"
// per line, '#' starts a comment, blank lines are ignored. The name identifies the
// station in logs and in the audit trail; the secret stays in memory here and is never
// logged or sent.
class KeyRing
{
public:
    // Smallest secret accepted: shorter ones can be guessed offline from one recorded
    // handshake.
    static constexpr int MinSecretLength = 16;

    // Reads and checks the file. Throws kmp::Error, naming the line but never quoting a
    // secret, for: a file others may read or write (the secrets would not be secret), a
    // line without ':', a bad name, a short secret, a name given twice, or no key at all.
    static KeyRing load(const QString &path);
    // The same checks on text already read (no permission check).
    static KeyRing parse(const QByteArray &text, const QString &origin);

    // nullopt when the name is not in the file.
    std::optional<QByteArray> secret(const QString &name) const;
    int size() const { return int(m_keys.size()); }

private:
    std::map<QString, QByteArray> m_keys;
};

} // namespace kmp::server
