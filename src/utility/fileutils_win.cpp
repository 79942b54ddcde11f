#include "utility/constants.h"
#include "utility/fileutils.h"
#include "utility/fileutils_p.h"
#include "utility/symlink_win32.h"
#include "utility/versioninfo_win32.h"
#include "utility/volumeflush_win32.h"

#include <QDir>

#include <string>

#include <io.h>

namespace utility {

QString fileProductVersion(const QString &path)
{
    std::wstring out;
    queryVersionString(kProductVersionKey.toStdWString(), QDir::toNativeSeparators(path).toStdWString(), out);
    return QString::fromStdWString(out);
}

bool copyFileData(QFile &in, QFile &out, QByteArray &buffer)
{
    return copyFileDataInChunks(in, out, buffer);
}

bool flushFile(QFileDevice &file)
{
    return ::_commit(file.handle()) == 0;
}

bool flushDirectory(const QString &)
{
    // NTFS journals its directory entries; a directory cannot be flushed like a file.
    return true;
}

bool openOwnerOnly(QFile &file, QIODevice::OpenMode mode)
{
    // A file in the user's profile inherits the profile's access list, which is the user's own.
    QFile::remove(file.fileName());
    return file.open(mode | QIODevice::NewOnly);
}

bool copySymbolicLink(const QString &source, const QString &target)
{
    std::wstring text;
    bool directory = false;
    return readSymbolicLink(QDir::toNativeSeparators(source).toStdWString(), text, directory)
            && createSymbolicLink(QDir::toNativeSeparators(target).toStdWString(), text, directory);
}

bool renameEntry(const QString &from, const QString &to)
{
    return renameWithoutReplace(
            QDir::toNativeSeparators(from).toStdWString(), QDir::toNativeSeparators(to).toStdWString());
}

bool syncFileSystem(const QString &dir)
{
    const std::wstring native = QDir::toNativeSeparators(QDir(dir).absolutePath()).toStdWString();
    return flushVolumeOf(native) != VolumeFlushResult::Failed;
}

} // namespace utility
