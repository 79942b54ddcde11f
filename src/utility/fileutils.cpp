#include "utility/fileutils.h"
#include "utility/constants.h"
#include "utility/fileutils_p.h"
#include "utility/platform.h"

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
constexpr QFileDevice::Permissions kProcessPermissions
        = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;

QFileInfoList listEntries(const QString &dir)
{
    return QDir(dir).entryInfoList(kListFilter, QDir::Name | QDir::IgnoreCase);
}

// True for anything standing at path, a dangling link included.
bool entryExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymbolicLink();
}

// A link is removed itself and never followed, so no walk reaches outside its tree.
bool removeLink(const QString &path)
{
    return QFile::remove(path) || QDir().rmdir(path);
}

// A directory of the tree itself. A symbolic link to one, and a Windows ".lnk" shortcut to one
// (which QFileInfo resolves), lead outside the tree: walked, their target would be copied and
// emptied along with it.
bool isTreeDirectory(const QFileInfo &entry)
{
    return entry.isDir() && !entry.isSymbolicLink() && !entry.isShortcut();
}

// Windows refuses to delete a read-only file; the file goes all the same, as on other systems.
bool removeFileEntry(const QString &path)
{
    if (QFile::remove(path))
        return true;
    const QFileDevice::Permissions permissions = QFile::permissions(path);
    if ((permissions & QFileDevice::WriteUser) || !QFile::setPermissions(path, permissions | QFileDevice::WriteUser))
        return false;
    if (QFile::remove(path))
        return true;
    // Still there for another reason: it keeps the mode it had.
    QFile::setPermissions(path, permissions);
    return false;
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
        // The "user" bits say what this process may do, and an elevated one may write anything:
        // taken along they would turn a read-only file writable.
        out.setPermissions(in.permissions() & ~kProcessPermissions);
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
    if (removeFileEntry(target) || (QFileInfo(target).isSymbolicLink() && removeLink(target)))
        return;
    const QString aside = target + kOldInfix + QDateTime::currentDateTime().toString(kOldStampFormat);
    if (renameEntry(target, aside))
        QFile::remove(aside);
}

// Puts one file or link in place; false when it is not there afterwards. With cover off an
// existing target counts as placed. A link is copied as the link it is: following it would
// copy whatever it points to, a whole tree or the root included, and a restore would turn it
// into a real file.
bool placeEntry(
        const QFileInfo &source, const QString &target, bool coverFileIfExist, CopyMode copyMode, QByteArray &buffer)
{
    const bool existed = entryExists(target);
    if (coverFileIfExist && existed)
        clearTarget(target);

    const auto makeAt = [&](const QString &path) {
        return source.isSymbolicLink() ? copySymbolicLink(source.filePath(), path)
                                       : copyToNewFile(source, path, buffer);
    };
    bool placed = false;
    if (copyMode == CopyMode::Plain) {
        placed = makeAt(target);
    } else {
        // The entry appears under its own name only once complete. A ".backup" name that is
        // already taken is not ours to move into place.
        const QString staged = target + kBackupSuffix;
        placed = makeAt(staged) && renameEntry(staged, target);
    }
    return placed || (!coverFileIfExist && existed);
}

struct CopyRun
{
    QByteArray buffer;
    QString targetRoot; // canonical; never copied into itself
    int depth = 0;
    QStringList skippedTopLevelEntries;
};

bool copyTree(const QString &fromDir, const QString &toDir, bool coverFileIfExist, CopyMode copyMode, CopyRun &run)
{
    QDir().mkpath(QDir(toDir).absolutePath());
    if (!QFileInfo(fromDir).isDir())
        return true; // nothing to copy, as with an empty listing
    ++run.depth;

    bool complete = true;
    const QDir target(toDir);
    const QFileInfoList entries = listEntries(fromDir);
    for (const QFileInfo &entry : entries) {
        // Folders too: an updater outside the installation brings plugin folders into the backup.
        if (run.depth == 1 && run.skippedTopLevelEntries.contains(entry.fileName(), platform::kPathCaseSensitivity))
            continue;
        const QString targetPath = target.filePath(entry.fileName());
        if (isTreeDirectory(entry)) {
            if (entry.canonicalFilePath() == run.targetRoot)
                continue;
            // A link standing where the directory goes would lead the copy out of the target tree.
            if (QFileInfo(targetPath).isSymbolicLink()) {
                if (!coverFileIfExist)
                    continue;
                removeLink(targetPath);
            }
            // Unlike the first failure of a file, a failed subtree does not stop the copy: the
            // rest of the tree is still worth having.
            if (!copyTree(entry.filePath(), targetPath, coverFileIfExist, copyMode, run))
                complete = false;
            continue;
        }
        if (!placeEntry(entry, targetPath, coverFileIfExist, copyMode, run.buffer))
            complete = false;
    }
    --run.depth;
    return complete;
}

} // namespace

bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool coverFileIfExist, CopyMode copyMode)
{
    return copyDirectoryFiles(fromDir, toDir, coverFileIfExist, copyMode, QStringList());
}

bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool coverFileIfExist, CopyMode copyMode,
        const QStringList &skippedTopLevelEntries)
{
    if (copyMode != CopyMode::Plain && copyMode != CopyMode::WithBackupSuffix)
        return false;
    CopyRun run;
    run.skippedTopLevelEntries = skippedTopLevelEntries;
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
        // A link is renamed like a file, never descended.
        if (isTreeDirectory(entry)) {
            if (!renameBackupFiles(path, addSuffix))
                return false;
        } else if (addSuffix) {
            renameEntry(path, path + kBackupSuffix);
        } else if (path.endsWith(kBackupSuffix)) {
            renameEntry(path, path.left(path.size() - kBackupSuffix.size()));
        }
    }
    return true;
}

bool clearDirectory(const QString &dir)
{
    const QString base = QDir(dir).absolutePath();
    const QFileInfoList entries = listEntries(dir);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymbolicLink())
            removeLink(entry.absoluteFilePath());
        else if (isTreeDirectory(entry))
            QDir(base + QLatin1Char('/') + entry.fileName()).removeRecursively();
        else
            removeFileEntry(entry.absoluteFilePath());
    }
    return listEntries(dir).isEmpty();
}

bool replaceDirectoryContents(
        const QString &fromDir, const QString &toDir, const QStringList &skippedTopLevelEntries, CopyMode copyMode)
{
    // Emptying toDir without a tree to refill it from would lose it outright.
    if (toDir.isEmpty() || !QFileInfo(fromDir).isDir())
        return false;
    // A file left over from the old content would make the result a mix of both trees.
    const bool cleared = clearDirectory(toDir);
    const bool copied = copyDirectoryFiles(fromDir, toDir, true, copyMode, skippedTopLevelEntries);
    return cleared && copied;
}

bool deleteDirectory(const QString &dir)
{
    if (dir.isEmpty())
        return false;
    // A linked directory goes as a link; its contents belong elsewhere.
    const QFileInfo info(dir);
    if (info.isSymbolicLink())
        return removeLink(dir);
    if (info.isShortcut())
        return removeFileEntry(dir);
    QDir directory(dir);
    if (!directory.exists())
        return true;
    const QFileInfoList entries = listEntries(dir);
    for (const QFileInfo &entry : entries) {
        if (isTreeDirectory(entry) || entry.isSymbolicLink())
            deleteDirectory(entry.filePath());
        else
            removeFileEntry(entry.filePath());
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

bool makeOwnerOnly(const QString &path)
{
    // Permissions set through a link would land on whatever it points to, with an elevated
    // process's rights; a link is replaced by a file of our own instead.
    const QFileInfo info(path);
    if (info.isSymbolicLink() || !info.isFile()) {
        QFile file(path);
        return openOwnerOnly(file, QIODevice::WriteOnly);
    }
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
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
    const int users = linkPath.indexOf(kUsersPiece, 0, platform::kPathCaseSensitivity);
    if (users >= 0) {
        const QString publicLink = linkPath.left(users) + kPublicDesktopPiece + linkName;
        if (entryExists(publicLink))
            QFile::remove(publicLink);
    }
    return QFile::link(targetInfo.absoluteFilePath(), linkPath);
}

} // namespace utility
