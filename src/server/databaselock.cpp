#include "databaselock.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kmp::server {

DatabaseLock::~DatabaseLock()
{
    if (m_fd >= 0) {
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
    }
}

std::unique_ptr<DatabaseLock> DatabaseLock::shared(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    int rc;
    do
        rc = ::flock(fd, LOCK_SH);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<DatabaseLock>(new DatabaseLock(fd));
}

std::unique_ptr<DatabaseLock> DatabaseLock::tryExclusive(const QString &path, QString *why)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *why = errno == EWOULDBLOCK ? QStringLiteral("em uso por um servidor") : QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<DatabaseLock>(new DatabaseLock(fd));
}

} // namespace kmp::server
