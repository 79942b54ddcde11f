#include "utility/fileutils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

// Placeholder bodies until the file functions land; every one fails safe.
namespace utility {

QString fileProductVersion(const QString &) { return QString(); }
bool copyDirectoryFiles(const QString &, const QString &, bool, int) { return false; }
bool renameBackupFiles(const QString &, bool) { return false; }
void clearDirectory(const QString &) {}
bool deleteDirectory(const QString &dir)
{
    if (dir.isEmpty())
        return false;
    return !QFileInfo::exists(dir) || QDir(dir).removeRecursively();
}
bool removeFile(const QString &path) { return !path.isEmpty() && QFile::remove(path); }
bool createDesktopShortcut(const QString &, const QString &) { return false; }

} // namespace utility
