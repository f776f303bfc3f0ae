#pragma once

#include <QStringList>

namespace kmp::server {

// The SQLite database holds patient records: its file, and the -wal and -shm files SQLite
// keeps beside it (which take the main file's permissions), are for the server's user
// only.

// Creates an empty database file readable and writable by its owner only, whatever the
// umask, when nothing exists at path yet. SQLite then opens it as a new database.
void createPrivateDatabaseFile(const QString &path);

// The files of the database at path (the file, -wal, -shm) that exist and that the group
// or others may read or write.
QStringList exposedDatabaseFiles(const QString &path);

} // namespace kmp::server
