#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <vector>

namespace kmp::server {

class DbConnection;

// A report the server runs for the clients' report screens. The client never sends SQL:
// it names a report, and the query with its named parameters lives here, with the layout
// the client uses to print the rows.
struct ReportDefinition
{
    QString code; // the report screen's report code, e.g. "KMP128"
    QString id;
    QString title;
    QStringList params;
    QString query;
    QByteArray layout; // JSON, read by the client
};

// The definitions shipped with the server (read-only resources; nothing here changes at run
// time, so several servers always agree).
const std::vector<ReportDefinition> &reportDefinitions();

// A packet listing the reports of a report code: ID, TITULO, PARAMETROS (names joined by
// ';'), LAYOUT (JSON bytes).
QByteArray listReports(const QString &code);

// Runs one report with the given parameter values (a JSON object of name -> text) and
// returns its rows as a packet. A parameter the report defines but the client did not set
// is bound as an empty text; values are always bound, never spliced into the SQL.
QByteArray runReport(DbConnection &db, const QString &code, const QString &id, const QString &paramsJson);

} // namespace kmp::server
