#include "utility/fileutils.h"
#include "utility/fileutils_p.h"
#include "utility/versionresource.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
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

bool openOwnerOnly(QFile &file, QIODevice::OpenMode mode)
{
    const QByteArray name = QFile::encodeName(file.fileName());
    if (::unlink(name.constData()) != 0 && errno != ENOENT)
        return false;
    // Created with its final mode: a mode set after the creation leaves a moment in which anyone
    // may open the file and read all that is written later. The file is then opened by name
    // again, so that QFile knows it as an ordinary named file.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return file.open(mode);
}

bool copySymbolicLink(const QString &source, const QString &target)
{
    const QByteArray from = QFile::encodeName(source);
    struct stat st;
    if (::lstat(from.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    // The size lstat reports is the length of the link text; it may change between the calls.
    std::vector<char> text(size_t(st.st_size > 0 ? st.st_size : 255) + 1);
    const ssize_t length = ::readlink(from.constData(), text.data(), text.size());
    if (length < 0 || size_t(length) >= text.size())
        return false;
    text[size_t(length)] = '\0';
    return ::symlink(text.data(), QFile::encodeName(target).constData()) == 0;
}

bool renameEntry(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from), destination = QFile::encodeName(to);
#ifdef __linux__
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, destination.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#endif
    // A hard link to the entry itself is refused when the name is taken, so nothing is replaced.
    if (::linkat(AT_FDCWD, source.constData(), AT_FDCWD, destination.constData(), 0) != 0)
        return false;
    return ::unlink(source.constData()) == 0;
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
