#include "export/filesync.h"

#include <QFile>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool syncToDisk(const QString &path)
{
    // Any descriptor of a file reaches the data every other one has written.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
#ifdef F_FULLFSYNC
    // fsync there leaves the data in the drive's cache; file systems that
    // cannot go further refuse, and get the plain sync.
    const bool synced = ::fcntl(fd, F_FULLFSYNC) == 0 || ::fsync(fd) == 0;
#else
    const bool synced = ::fsync(fd) == 0;
#endif
    return ::close(fd) == 0 && synced;
}

bool renameInPlace(const QString &from, const QString &to)
{
    const QByteArray target = QFile::encodeName(to);
    struct stat taken;
    // rename() would replace what stands there; QFile::rename would fall back to a copy.
    if (::lstat(target.constData(), &taken) == 0)
        return false;
    return std::rename(QFile::encodeName(from).constData(), target.constData()) == 0;
}
