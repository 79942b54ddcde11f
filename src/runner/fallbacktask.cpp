#include "runner/fallbacktask.h"

#include "utility/fileutils.h"

namespace runner {

bool fallbackTask(
        const QString &installDir, const QString &backupDir, const QStringList &updaterOnlyFiles, bool withBackupSuffix)
{
    return utility::replaceDirectoryContents(backupDir, installDir, updaterOnlyFiles,
            withBackupSuffix ? utility::CopyMode::WithBackupSuffix : utility::CopyMode::Plain);
}

} // namespace runner
