#pragma once

#include "packet.h"
#include "schema.h"

#include <QString>
#include <array>

namespace kmp::server {

class DbConnection;

// Who asked for a change, as the audit trail records it.
struct AuditContext
{
    QString clientKey = QStringLiteral("local"); // the client key's name
    QString address;                             // the peer's address
    QString method;                              // the remote method that applied it
};

// The data behind the remote methods, on one connection. Every load is one SELECT with
// bound values whose rows are written straight into an encoded data packet (the form
// decodePacket reads), so a large catalogue is never held twice; every save applies a
// whole delta in one transaction or not at all. Nothing here is cached between calls, so
// several servers can share one database.
class Store
{
public:
    explicit Store(DbConnection &db) : m_db(db) {}

    QByteArray diagnost();
    QByteArray diagPaci(const QString &filial, const QString &paciente, double consulta);
    QByteArray diagAsso(const QString &filial, const QString &paciente, double consulta);
    // Present illness, progressive clinical history, family history, physical examination.
    std::array<QByteArray, 4> histGer(const QString &paciente, const QString &filial, double consulta);
    // One field CDPACIENTE; a row exactly when the code is recorded for the consultation.
    QByteArray vdDiag(const QString &filial, const QString &paciente, const QString &diagnost, double consulta);
    // selector "T": every type; otherwise the one type with the given code (or none).
    QByteArray tipoLaudo(const QString &code, const QString &selector);
    QByteArray memLaudo(const QString &filial, const QString &paciente, const QString &tipo, double consulta);

    // Applies a delta to the table. Refuses (ServiceError) unknown fields, values that do
    // not fit, missing key values, duplicates, and rows changed or removed by someone else
    // since they were loaded; on any refusal nothing of the delta stays applied.
    // duplicateMessage is the text for an insert whose key already exists.
    // Every change applied is recorded in the audit table (KMP_AUDIT) in the same
    // transaction, with who, when (the database's clock, UTC) and the old and new values:
    // the trail holds a change exactly when the change itself was committed.
    void applyDelta(const TableDef &table, const Delta &delta, const QString &duplicateMessage, const AuditContext &who = {});

    DbConnection &db() { return m_db; }

private:
    QByteArray select(const TableDef &table, const QStringList &fields, const QStringList &where, const QVariantList &values,
                      const QString &orderBy = {});

    DbConnection &m_db;
};

// The texts of a save refused because the row moved on since it was loaded.
QString staleRowMessage();
QString removedRowMessage();

} // namespace kmp::server
