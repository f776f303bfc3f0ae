#include "databasefiles.h"

#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kmp::server {

void createPrivateDatabaseFile(const QString &path)
{
    // In-memory and URI names are SQLite's own business.
    if (path.isEmpty() || path == QLatin1String(":memory:") || path.startsWith(QLatin1String("file:")))
        return;
    // O_EXCL: an existing file (or a link planted in its place) is never touched here.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        // open() applies the umask to 0600, which can only take bits away; fchmod makes
        // the mode exact.
        [[maybe_unused]] const int rc = ::fchmod(fd, 0600);
        ::close(fd);
    }
}

QStringList exposedDatabaseFiles(const QString &path)
{
    if (path.isEmpty() || path == QLatin1String(":memory:") || path.startsWith(QLatin1String("file:")))
        return {};
    const QFileDevice::Permissions others =
        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    QStringList out;
    for (const QString &file : {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")}) {
        const QFileInfo info(file);
        if (info.exists() && (QFile::permissions(file) & others))
            out << file;
    }
    return out;
}

} // namespace kmp::server
