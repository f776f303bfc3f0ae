#include "databaselock.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kmp::server {

namespace {

// Who holds a flock on the file open as fd, from the system's list of locks.
QString holderOf(int fd)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
        return {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return {};
    // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF": kind, pid, device and inode.
    const QByteArray file = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':'
                            + QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':'
                            + QByteArray::number(qulonglong(st.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() < 6 || parts.at(1) != "FLOCK" || parts.at(5) != file)
            continue;
        const QByteArray pid = parts.at(4);
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(QString::fromLatin1(pid)));
        QByteArray command;
        if (cmdline.open(QIODevice::ReadOnly))
            command = cmdline.read(200).replace('\0', ' ').trimmed();
        return command.isEmpty()
                   ? QStringLiteral("processo %1").arg(QString::fromLatin1(pid))
                   : QStringLiteral("processo %1 (%2)").arg(QString::fromLatin1(pid), QString::fromLocal8Bit(command));
    }
    return {};
}

} // namespace

DatabaseLock::~DatabaseLock()
{
    if (m_fd >= 0) {
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
    }
}

std::unique_ptr<DatabaseLock> DatabaseLock::tryExclusive(const QString &path, QString *why)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            const QString holder = holderOf(fd);
            *why = holder.isEmpty() ? QStringLiteral("em uso por outro processo") : QStringLiteral("em uso pelo ") + holder;
        } else {
            *why = QString::fromLocal8Bit(std::strerror(errno));
        }
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<DatabaseLock>(new DatabaseLock(fd));
}

} // namespace kmp::server
