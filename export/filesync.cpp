#include "export/filesync.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

bool syncToDisk(const QString &path)
{
    // Any descriptor of a file reaches the data every other one has written.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}
