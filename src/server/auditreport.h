#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace kmp::server {

class DbConnection;

// One row of the audit trail as stored (see Store::applyDelta).
struct AuditEntry
{
    qint64 id = 0;
    QString changedAt; // ISO 8601, UTC, from the database's clock
    QString clientKey;
    QString address;
    QString method;
    QString table;
    QString kind; // insert, modify, delete
    QJsonObject key;
    QJsonObject oldValues; // empty for an insert
    QJsonObject newValues; // empty for a delete
};

// The history of a patient at a branch (of the consultations of one day when consulta is
// given, as the day count), in the order the database numbered it.
std::vector<AuditEntry> readAudit(DbConnection &db, const QString &filial, const QString &paciente,
                                  std::optional<double> consulta);

// Readable text of one entry: a header line (number, time, key, address, method, table,
// kind, row key) and one line per value written; a rich-text section shows its plain
// text, old against new, line by line. Needs a QGuiApplication (the rich-text reader lays
// out fonts).
QString formatAuditEntry(const AuditEntry &entry);

// A line diff of two texts: unchanged lines start with "  ", removed ones with "- ",
// added ones with "+ ". Longest common subsequence; for very long texts that would cost
// too much it lists every old line removed and every new one added.
QStringList lineDiff(const QStringList &before, const QStringList &after);

} // namespace kmp::server
