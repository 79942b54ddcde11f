#include "runner/fallbacktask.h"

#include "utility/fileutils.h"

#include <QFileInfo>

namespace runner {

bool fallbackTask(
        const QString &installDir, const QString &backupDir, const QStringList &updaterOnlyFiles, bool withBackupSuffix)
{
    // Emptying the installation without a backup to refill it from would lose it outright.
    if (installDir.isEmpty() || !QFileInfo(backupDir).isDir())
        return false;
    utility::clearDirectory(installDir);
    return utility::copyDirectoryFiles(backupDir, installDir, true,
            withBackupSuffix ? utility::CopyMode::WithBackupSuffix : utility::CopyMode::Plain, updaterOnlyFiles);
}

} // namespace runner
