#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

// File and version functions used for the backup, the patching and the product discovery.
// None of them logs; each reports at most a bool.
namespace utility {

// How copyDirectoryFiles puts a file in place; the numbers are the ones the copy has always used.
enum class CopyMode {
    Plain = 1, // copy straight to the target name
    WithBackupSuffix = 2, // copy to "<target>.backup", then rename, so a file is never seen half written
};

// The "ProductVersion" string of the file's version resource; empty when it cannot be read.
QString fileProductVersion(const QString &path);

// Copies the tree fromDir into toDir (created with missing parents). With coverFileIfExist an
// existing target is removed first, or moved aside as "<name>.old.<stamp>" when it cannot be
// removed.
// Returns false when, with coverFileIfExist, a file could not be put in place (the rest of the
// tree is still copied), for a copyMode outside the enum (nothing is copied), and when the file
// system reports that the data could not be stored. Existing targets are never overwritten. The
// copied data is on disk when the call returns.
bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool coverFileIfExist, CopyMode copyMode);
// The same, leaving out the files and folders of fromDir's top level named in skippedTopLevelEntries.
bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool coverFileIfExist, CopyMode copyMode,
        const QStringList &skippedTopLevelEntries);

// Adds ".backup" to every file name of the tree, or strips it from names that end with it.
bool renameBackupFiles(const QString &dir, bool addSuffix);

// Removes every file and directory below dir, hidden ones included; dir itself stays. True when
// dir is empty afterwards.
bool clearDirectory(const QString &dir);

// Makes toDir hold exactly the tree of fromDir (less skippedTopLevelEntries): empties it, then copies.
// false, with toDir untouched, when fromDir is no directory; false too when something of the old
// content could not be removed or a file could not be put in place. The data is on disk when the
// call returns.
bool replaceDirectoryContents(
        const QString &fromDir, const QString &toDir, const QStringList &skippedTopLevelEntries, CopyMode copyMode);

// Writes a small file so that after a crash or a power cut either its old content or the whole
// new content is found, never a part, and the new content is on disk when it returns true. The
// file is readable by its owner only.
bool writeFileDurably(const QString &path, const QByteArray &content);
// Removes the file so that it stays removed after a crash; true when it is gone.
bool removeFileDurably(const QString &path);

// Deletes the tree; true when dir is gone (or never existed), false for an empty path or when
// something is left inside.
bool deleteDirectory(const QString &dir);

// Opens file (its name set) as a new file that only its owner may read and write, from before its
// first byte: an entry already at the name is removed first, so a reader that opened the old one
// sees nothing of the new. false when the file cannot be made.
bool openOwnerOnly(QFile &file, QIODevice::OpenMode mode);

// Makes path readable and writable by its owner only, creating it empty when missing; for files
// that are rewritten by replacing them, which take over the old file's permissions.
bool makeOwnerOnly(const QString &path);

// false for an empty path, else whether the file was removed.
bool removeFile(const QString &path);

// Puts a shortcut named linkName to target on the user's desktop, replacing one of that name
// (and its twin on the public desktop). false when target does not exist or the link fails.
bool createDesktopShortcut(const QString &target, const QString &linkName);

} // namespace utility
