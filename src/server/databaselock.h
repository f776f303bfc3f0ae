#pragma once

#include <QString>
#include <memory>

namespace kmp::server {

// An advisory lock on a SQLite database file: a serving process holds it for its whole
// life, so that a second server cannot serve the same file (SQLite is for one server) and
// a restore cannot swap the file from under it. It is a flock(2) lock, which on Linux is
// independent of the fcntl locks SQLite takes itself; the descriptor stays open until the
// lock is dropped, because closing any descriptor of the file would also drop SQLite's own
// locks.
class DatabaseLock
{
public:
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock &) = delete;
    DatabaseLock &operator=(const DatabaseLock &) = delete;

    // The lock, without waiting; null when someone else holds the file (why says who: the
    // process and its command line, as the system lists it).
    static std::unique_ptr<DatabaseLock> tryExclusive(const QString &path, QString *why);

private:
    explicit DatabaseLock(int fd) : m_fd(fd) {}
    int m_fd = -1;
};

} // namespace kmp::server
