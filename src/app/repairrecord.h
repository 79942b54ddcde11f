#pragma once

#include <QString>
#include <QStringList>

namespace app {

// What a later start needs to put an installation back from its backup when an upgrade stopped
// (killed, crashed, power cut) while changing it. The record is on disk before the first change
// and is removed only once the installation is whole again, so its presence alone says that the
// installation cannot be trusted.
struct RepairRecord
{
    QString installDir;
    QString backupDir;
    // The edition whose history hears of the repair.
    QString role;
    // The updater's own files at the top of the backup, which never belonged to the installation.
    QStringList updaterOnlyFiles;

    // The record's file for the installation named installDirName, in the local data directory.
    static QString pathFor(const QString &dataDir, const QString &installDirName);

    // Written and flushed to disk before it returns true; a crash leaves the old file or the new
    // one, never a part.
    bool save(const QString &path) const;
    // false when the file is missing or does not hold a whole record.
    bool load(const QString &path);
    // Removes the file durably; true when it is gone.
    static bool remove(const QString &path);
};

} // namespace app
