#include "utility/fileutils.h"
#include "utility/constants.h"
#include "utility/fileutils_p.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

namespace utility {

namespace {

// Every entry, hidden and system ones (".lnk" shortcuts on Windows) included: they belong to the
// installation as much as any other file, and a walk that skipped them would lose them on an
// upgrade or a restore while reporting success.
constexpr QDir::Filters kListFilter
        = QDir::Dirs | QDir::Files | QDir::Drives | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
constexpr int kCopyChunkSize = 1 << 20;

QFileInfoList listEntries(const QString &dir)
{
    return QDir(dir).entryInfoList(kListFilter, QDir::Name | QDir::IgnoreCase);
}

// True for anything standing at path, a dangling link included.
bool entryExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// A link is removed itself and never followed, so no walk reaches outside its tree.
bool removeLink(const QString &path)
{
    return QFile::remove(path) || QDir().rmdir(path);
}

// Copies source into a new file at target. Never replaces an existing target; a partly written
// target is removed again. No flush per file: the caller syncs the file system once at the end.
bool copyToNewFile(const QFileInfo &source, const QString &target, QByteArray &buffer)
{
    QFile in(source.filePath());
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;

    const bool copied = copyFileData(in, out, buffer);
    if (copied) {
        out.setPermissions(in.permissions());
        out.setFileTime(source.lastModified(), QFileDevice::FileModificationTime);
    }
    out.close();
    if (!copied || out.error() != QFileDevice::NoError) {
        out.remove();
        return false;
    }
    return true;
}

// Makes room at target: removes the entry, or, when it is in use, moves it aside under a
// time-stamped ".old." name and tries to remove it there.
void clearTarget(const QString &target)
{
    if (QFile::remove(target))
        return;
    const QString aside = target + kOldInfix + QDateTime::currentDateTime().toString(kOldStampFormat);
    if (QFile::rename(target, aside))
        QFile::remove(aside);
}

// Puts one file in place; false when it is not there afterwards. With cover off an existing
// target counts as placed.
bool placeFile(
        const QFileInfo &source, const QString &target, bool coverFileIfExist, CopyMode copyMode, QByteArray &buffer)
{
    const bool existed = entryExists(target);
    if (coverFileIfExist && existed)
        clearTarget(target);

    bool placed = false;
    if (copyMode == CopyMode::Plain) {
        placed = copyToNewFile(source, target, buffer);
    } else {
        // The file appears under its own name only once complete. A ".backup" name that is
        // already taken is not ours to move into place.
        const QString staged = target + kBackupSuffix;
        placed = copyToNewFile(source, staged, buffer) && QFile::rename(staged, target);
    }
    return placed || (!coverFileIfExist && existed);
}

struct CopyRun
{
    QByteArray buffer;
    QString targetRoot; // canonical; never copied into itself
    QStringList openDirectories; // canonical sources being walked, to stop at links that loop
    QStringList skippedTopLevelFiles;
};

bool copyTree(const QString &fromDir, const QString &toDir, bool coverFileIfExist, CopyMode copyMode, CopyRun &run)
{
    QDir().mkpath(QDir(toDir).absolutePath());
    const QString source = QFileInfo(fromDir).canonicalFilePath();
    if (source.isEmpty())
        return true; // nothing to copy, as with an empty listing
    if (run.openDirectories.contains(source))
        return true;
    run.openDirectories.append(source);

    bool complete = true;
    const QDir target(toDir);
    const QFileInfoList entries = listEntries(fromDir);
    for (const QFileInfo &entry : entries) {
        const QString targetPath = target.filePath(entry.fileName());
        if (entry.isDir()) {
            if (entry.canonicalFilePath() == run.targetRoot)
                continue;
            // Unlike the first failure of a file, a failed subtree does not stop the copy: the
            // rest of the tree is still worth having.
            if (!copyTree(entry.filePath(), targetPath, coverFileIfExist, copyMode, run))
                complete = false;
            continue;
        }
        if (run.openDirectories.size() == 1 && run.skippedTopLevelFiles.contains(entry.fileName()))
            continue;
        if (!placeFile(entry, targetPath, coverFileIfExist, copyMode, run.buffer))
            complete = false;
    }
    run.openDirectories.removeLast();
    return complete;
}

} // namespace

bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool coverFileIfExist, CopyMode copyMode)
{
    return copyDirectoryFiles(fromDir, toDir, coverFileIfExist, copyMode, QStringList());
}

bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool coverFileIfExist, CopyMode copyMode,
        const QStringList &skippedTopLevelFiles)
{
    if (copyMode != CopyMode::Plain && copyMode != CopyMode::WithBackupSuffix)
        return false;
    CopyRun run;
    run.skippedTopLevelFiles = skippedTopLevelFiles;
    run.buffer.resize(kCopyChunkSize);
    QDir().mkpath(QDir(toDir).absolutePath());
    run.targetRoot = QFileInfo(toDir).canonicalFilePath();

    bool complete = copyTree(fromDir, toDir, coverFileIfExist, copyMode, run);
    if (!syncFileSystem(toDir))
        complete = false;
    return complete;
}

bool renameBackupFiles(const QString &dir, bool addSuffix)
{
    if (!QDir(dir).exists())
        return true;
    const QFileInfoList entries = listEntries(dir);
    for (const QFileInfo &entry : entries) {
        const QString path = entry.filePath();
        if (entry.isDir()) {
            if (entry.isSymLink())
                continue;
            if (!renameBackupFiles(path, addSuffix))
                return false;
        } else if (addSuffix) {
            QFile::rename(path, path + kBackupSuffix);
        } else if (path.endsWith(kBackupSuffix)) {
            QFile::rename(path, path.left(path.size() - kBackupSuffix.size()));
        }
    }
    return true;
}

bool clearDirectory(const QString &dir)
{
    const QString base = QDir(dir).absolutePath();
    const QFileInfoList entries = listEntries(dir);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink())
            removeLink(entry.absoluteFilePath());
        else if (entry.isDir())
            QDir(base + QLatin1Char('/') + entry.fileName()).removeRecursively();
        else
            QFile::remove(entry.absoluteFilePath());
    }
    return listEntries(dir).isEmpty();
}

bool replaceDirectoryContents(
        const QString &fromDir, const QString &toDir, const QStringList &skippedTopLevelFiles, CopyMode copyMode)
{
    // Emptying toDir without a tree to refill it from would lose it outright.
    if (toDir.isEmpty() || !QFileInfo(fromDir).isDir())
        return false;
    // A file left over from the old content would make the result a mix of both trees.
    const bool cleared = clearDirectory(toDir);
    const bool copied = copyDirectoryFiles(fromDir, toDir, true, copyMode, skippedTopLevelFiles);
    return cleared && copied;
}

bool deleteDirectory(const QString &dir)
{
    if (dir.isEmpty())
        return false;
    // A linked directory goes as a link; its contents belong elsewhere.
    if (QFileInfo(dir).isSymLink())
        return removeLink(dir);
    QDir directory(dir);
    if (!directory.exists())
        return true;
    const QFileInfoList entries = listEntries(dir);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir())
            deleteDirectory(entry.filePath());
        else
            directory.remove(entry.fileName());
    }
    return directory.rmdir(directory.absolutePath());
}

bool writeFileDurably(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // The data must be on disk before the rename makes it the file, and the rename before true.
    if (file.write(content) != content.size() || !file.flush() || !flushFile(file) || !file.commit())
        return false;
    return flushDirectory(QFileInfo(path).absolutePath());
}

bool removeFileDurably(const QString &path)
{
    if (entryExists(path) && !QFile::remove(path))
        return false;
    return flushDirectory(QFileInfo(path).absolutePath());
}

bool removeFile(const QString &path)
{
    return !path.isEmpty() && QFile::remove(path);
}

bool createDesktopShortcut(const QString &target, const QString &linkName)
{
    const QFileInfo targetInfo(target);
    if (target.isEmpty() || !targetInfo.exists())
        return false;
    const QString linkPath
            = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/') + linkName;
    if (entryExists(linkPath))
        QFile::remove(linkPath);

    // A shortcut of the same name on the public desktop would show twice.
    const int users = linkPath.indexOf(kUsersPiece);
    if (users >= 0) {
        const QString publicLink = linkPath.left(users) + kPublicDesktopPiece + linkName;
        if (entryExists(publicLink))
            QFile::remove(publicLink);
    }
    return QFile::link(targetInfo.absoluteFilePath(), linkPath);
}

} // namespace utility
