#include "utility/fileutils.h"
#include "utility/fileutils_p.h"
#include "utility/versionresource.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace utility {

QString fileProductVersion(const QString &path)
{
    // Only regular files: opening a FIFO or a device for reading could block or never end.
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return productVersionFromDevice(file);
}

bool syncFileSystem(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ::sync();
        return true;
    }
#ifdef __linux__
    // One flush of the target's file system instead of one per file; it also reports write
    // errors that surfaced since the files were written.
    const bool synced = ::syncfs(fd) == 0;
#else
    ::sync();
    const bool synced = true;
#endif
    ::close(fd);
    return synced;
}

} // namespace utility
