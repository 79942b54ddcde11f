#include "runner/fallbacktask.h"

#include "app/mainapplication.h"
#include "utility/fileutils.h"

#include <QFileInfo>

namespace runner {

bool fallbackTask(const QString &installDir, const QString &backupDir, const QStringList &updaterOnlyFiles)
{
    // Emptying the installation without a backup to refill it from would lose it outright.
    if (installDir.isEmpty() || !QFileInfo(backupDir).isDir())
        return false;
    // Nobody changes the setting once the run has started, so reading it here is safe.
    const bool withBackupSuffix = app::MainApplication::instance()->withBackupSuffix();
    utility::clearDirectory(installDir);
    return utility::copyDirectoryFiles(backupDir, installDir, true, withBackupSuffix ? utility::CopyMode::WithBackupSuffix : utility::CopyMode::Plain, updaterOnlyFiles);
}

} // namespace runner
