#include "utility/constants.h"
#include "utility/fileutils.h"
#include "utility/fileutils_p.h"
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

bool syncFileSystem(const QString &dir)
{
    const std::wstring native = QDir::toNativeSeparators(QDir(dir).absolutePath()).toStdWString();
    return flushVolumeOf(native) != VolumeFlushResult::Failed;
}

} // namespace utility
