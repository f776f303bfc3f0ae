#pragma once

#include "fielddef.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace kmp::server {

class DbConnection;

struct ColumnDef
{
    QString name;
    FieldKind kind = FieldKind::String;
    int size = 0;     // maximum length of strings; 0 for the other kinds
    bool key = false; // part of the primary key
};

// A table as the server knows it. The column order is the order of the fields in the
// packets the screen expects, so a packet of the whole row is the table itself.
struct TableDef
{
    QString name;
    std::vector<ColumnDef> columns;

    const ColumnDef *column(const QString &name) const;
    std::vector<const ColumnDef *> keyColumns() const;
    FieldDefs fieldDefs(const QStringList &names = {}) const;
};

namespace tables {
const TableDef &diagnost();     // the diagnosis catalogue, keyed by code
const TableDef &diagPaci();     // a consultation's diagnoses
const TableDef &diagAsso();     // a patient's admission diagnoses
const TableDef &tipoLaudo();    // report types and their templates
const TableDef &memLaudo();     // the signs-and-symptoms report, one per type
const TableDef &histDoen();     // history of the present illness
const TableDef &histClinProg(); // progressive clinical history
const TableDef &histFam();      // family history
const TableDef &examFisi();     // physical examination
const TableDef &filial();       // branches
const TableDef &paciente();     // patients
const TableDef &consulta();     // consultations
const std::vector<const TableDef *> &all();
} // namespace tables

// The schema version this build creates and understands.
constexpr int CurrentSchemaVersion = 5;

// Version 3: no two diagnoses of one consultation share a sequence number, whichever
// stations or servers save them.
inline constexpr const char *DiagnosisOrderIndex = "DIAGPACI_SEQ";

// The audit trail (version 2): one row per change a save applied, written in the save's
// own transaction. No remote method names it, so no client can change it. Since version 5
// a row's blob (a section's rich text) sits in OLD_BLOB / NEW_BLOB, the values' text
// holding {"bytes": n} in its place.
inline constexpr const char *AuditTable = "KMP_AUDIT";

// The catalogue's version (version 4): one row per catalogue, NAME 'DIAGNOST', whose
// VERSION changes with every import, so that stations can keep the catalogue and ask
// only whether it changed.
inline constexpr const char *CatalogueVersionTable = "KMP_CATALOGUE_VERSION";

// Creates the tables on an empty database and upgrades an older one, inside one
// transaction and (on PostgreSQL) under an advisory lock, so several servers starting at
// once do not trip over each other. Refuses a database newer than this build.
void ensureSchema(DbConnection &db);

// A catalogue version following previous (empty for the first one).
QString newCatalogueVersion(const QString &previous);

// The version stored in the database, 0 when it has no schema yet.
int schemaVersion(DbConnection &db);

// PostgreSQL: the other schemas of the database that hold this server's tables, for a
// message about a search path that points elsewhere than the data.
QStringList otherSchemasWithTables(DbConnection &db);

// What to tell an administrator whose database (or PostgreSQL schema) has none of this
// server's tables: which one was looked at, and where the tables are if elsewhere.
QString missingTablesMessage(DbConnection &db);

} // namespace kmp::server
