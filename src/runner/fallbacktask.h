#pragma once

#include <QString>
#include <QStringList>

namespace runner {

// Puts the installation back from the backup: empties installDir (files in use stay) and copies
// the backup tree into it; a file of the installation that cannot be removed makes it fail. Runs off the GUI thread and
// touches only the file system. True only when every file of the backup was put in place; false, with installDir left
// untouched, when there is no backup directory to restore from. The files named in updaterOnlyFiles stand at the top of
// the backup only because the updater that runs from there put them there; they never belonged to the installation and
// are not copied into it.
bool fallbackTask(const QString &installDir, const QString &backupDir, const QStringList &updaterOnlyFiles,
        bool withBackupSuffix);

} // namespace runner
