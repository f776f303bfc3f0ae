#pragma once

#include "databaseconfig.h"
#include "message.h"

#include <QByteArray>
#include <optional>

namespace kmp::server {

// The health probe. A request for the method "Ping" (any module name) is answered before
// and without the client-key handshake, so that monitoring needs no station key; it tells
// only what an operator needs and nothing about patients: a map with "server", "version",
// "database" (sqlite or postgresql), "schema" (the version stored, 0 when unreadable),
// "schemaExpected" (this build's) and "databaseOk".
class Ping
{
public:
    static constexpr const char *MethodName = "Ping";

    // The answer when body is a Ping request, nullopt for anything else. Opens (and closes)
    // one database connection to read the schema version.
    static std::optional<wire::Response> answer(const QByteArray &body, const DatabaseConfig &database);
    static wire::Request request();
};

} // namespace kmp::server
