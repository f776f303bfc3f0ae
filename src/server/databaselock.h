#pragma once

#include <QString>
#include <memory>

namespace kmp::server {

// An advisory lock on a SQLite database file, so that a restore cannot swap the file from
// under a running server. A serving process holds it shared for its whole life; restore
// must get it exclusive. It is a flock(2) lock, which on Linux is independent of the
// fcntl locks SQLite takes itself; the descriptor stays open until the lock is dropped,
// because closing any descriptor of the file would also drop SQLite's own locks.
class DatabaseLock
{
public:
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock &) = delete;
    DatabaseLock &operator=(const DatabaseLock &) = delete;

    // Shared lock, waiting for an exclusive holder (a restore) to finish. Null when the
    // file cannot be opened (it is then created by the database itself later).
    static std::unique_ptr<DatabaseLock> shared(const QString &path);
    // Exclusive lock without waiting; null when someone else holds the file (why says so).
    static std::unique_ptr<DatabaseLock> tryExclusive(const QString &path, QString *why);

private:
    explicit DatabaseLock(int fd) : m_fd(fd) {}
    int m_fd = -1;
};

} // namespace kmp::server
