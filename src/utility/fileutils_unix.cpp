#include "utility/fileutils.h"
#include "utility/fileutils_p.h"
#include "utility/versionresource.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

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

bool copyFileData(QFile &in, QFile &out, QByteArray &buffer)
{
#ifdef __linux__
    // The kernel copies without passing the data through this process. File systems or kernels
    // that cannot do so say so on the first call, and the plain loop takes over.
    constexpr size_t kMaxRange = size_t(1) << 30;
    bool first = true;
    for (;;) {
        const ssize_t copied = ::copy_file_range(in.handle(), nullptr, out.handle(), nullptr, kMaxRange, 0);
        if (copied == 0)
            return true;
        if (copied < 0) {
            if (errno == EINTR)
                continue;
            const bool unsupported
                    = errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF;
            if (first && unsupported)
                break;
            return false;
        }
        first = false;
    }
#endif
    return copyFileDataInChunks(in, out, buffer);
}

bool flushFile(QFileDevice &file)
{
    return ::fsync(file.handle()) == 0;
}

bool flushDirectory(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = ::fsync(fd) == 0;
    ::close(fd);
    return flushed;
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
