#include "ping.h"

#include "dbconnection.h"
#include "error.h"
#include "schema.h"

#include <QCborMap>

#ifndef KMP_VERSION
#define KMP_VERSION "0"
#endif

namespace kmp::server {

std::optional<wire::Response> Ping::answer(const QByteArray &body, const DatabaseConfig &database)
{
    wire::Request request;
    try {
        request = wire::decodeRequest(body);
    } catch (const kmp::Error &) {
        return std::nullopt;
    }
    if (request.method != QLatin1String(MethodName))
        return std::nullopt;
    QCborMap result;
    result.insert(QStringLiteral("server"), QStringLiteral("kmp-appserver"));
    result.insert(QStringLiteral("version"), QStringLiteral(KMP_VERSION));
    result.insert(QStringLiteral("database"), database.isPostgres() ? QStringLiteral("postgresql") : QStringLiteral("sqlite"));
    result.insert(QStringLiteral("schemaExpected"), CurrentSchemaVersion);
    int version = 0;
    bool ok = false;
    try {
        DbConnection db(database);
        version = schemaVersion(db);
        ok = true;
    } catch (const kmp::Error &) {
        // The reason stays in the server's own log at the next real request; a probe is
        // told only that the database does not answer.
    }
    result.insert(QStringLiteral("schema"), version);
    result.insert(QStringLiteral("databaseOk"), ok);
    return wire::Response::success(request.id, result);
}

wire::Request Ping::request()
{
    wire::Request r;
    r.id = 1;
    r.method = QLatin1String(MethodName);
    return r;
}

} // namespace kmp::server
