#pragma once

#include "databaseconfig.h"

#include <QString>
#include <functional>
#include <map>

namespace kmp::server {

class DbConnection;

// What a backup file says about itself, and what restore checks it against. A backup is
// always one SQLite file, whatever the source: a copy of the SQLite database itself, or
// the rows of a PostgreSQL database read in one snapshot. Two tables of its own describe
// it: KMP_BACKUP_INFO (format, source kind, time, schema version) and KMP_BACKUP_COUNTS
// (the rows each table had in the snapshot and a digest of its contents in key order).
struct BackupManifest
{
    int format = 0;
    int schemaVersion = 0;
    QString sourceKind;                    // "sqlite" or "postgresql"
    QString createdAt;                     // UTC, ISO 8601
    std::map<QString, qint64> rowCounts;   // upper-case table name -> rows
    std::map<QString, QByteArray> digests; // table -> SHA-256 of its contents, in hex (format 2)

    qint64 totalRows() const;
};

// Writes a consistent copy of the database into a new file `to` (refused when it exists)
// while servers go on serving. SQLite: VACUUM INTO from a read transaction, so the copy is
// the database as one committed moment saw it, any schema version. PostgreSQL: every table
// read inside one REPEATABLE READ, READ ONLY transaction (one snapshot) into a SQLite file
// built by this server's schema, so the database must be at this server's schema version.
// The copy is written under a temporary name and renamed once complete and checked, so a
// backup cut short never looks like a good one. Throws kmp::Error.
BackupManifest backupDatabase(const DatabaseConfig &from, const QString &to);

// Opens a backup read-only and checks it: SQLite's integrity check, the manifest, a schema
// version this server can read, and every table's row count and contents against the
// digests recorded when the copy was made (copies of the first format have counts only).
// Throws kmp::Error naming what does not match.
BackupManifest verifyBackup(const QString &file);

struct RestoreOptions
{
    // SQLite only: replace an existing database file (kept beside it under a new name),
    // provided no server has it open.
    bool replace = false;
};

// Restores a verified backup into `to` and checks the row counts there before returning.
// SQLite: the file is built under a temporary name and renamed into place; an existing
// file is refused unless options.replace, and refused even then while a server uses it.
// PostgreSQL: the target must have no rows (a new database or schema) and the backup must
// be at this server's schema version. Throws kmp::Error. `progress` gets one line per step.
BackupManifest restoreDatabase(const QString &file, const DatabaseConfig &to, const RestoreOptions &options,
                               const std::function<void(const QString &)> &progress = {});

// Readies the database a server is about to serve. A PostgreSQL schema without this
// server's tables is refused, naming it (a search path pointing away from the data would
// otherwise serve empty tables), and so is one of an older version: with several servers
// on it, the administrator copies it and runs the upgrade once. A SQLite database of an
// older version is first copied beside itself (PATH.esquema-N-DATE-TIME.bak, checked like
// any backup) and then upgraded; a new one is created. Returns the copy's name, or empty
// when none was made. Throws kmp::Error.
QString prepareSchema(DbConnection &db);

// The administrator's upgrade: a copy first on SQLite (as above), then the new schema.
// Returns the copy's name, or empty.
QString upgradeSchema(DbConnection &db);

} // namespace kmp::server
