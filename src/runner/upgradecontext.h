#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QThreadPool;

namespace app {
class HistoryConfig;
class UpdateInfoManager;
} // namespace app

namespace runner {

// Everything an upgrade needs to know about the run it belongs to, handed over once so that the
// runner and its workers never reach for the application object (the restore runs on a pool
// thread, where that would not be safe).
struct UpgradeContext
{
    QString role;
    // The master's executable, the installation that holds it, and its installed version.
    QString exePath;
    QString installDir;
    QString productVersion;
    QString backupDir;
    // The local data directory: packages, their output trees, the description and the history.
    QString dataDir;
    QString historyFilePath;
    QString updateInfoFilePath;
    QString patchToolPath;
    // Beside the backup: the record that lets a later start repair the installation, and the lock
    // that says an upgrade of it runs.
    QString repairRecordPath;
    QString upgradeLockPath;
    // The updater's own files that may stand at the top of the backup (executable, settings, tool).
    QStringList updaterFileNames;
    QStringList needKilledProcesses;
    bool withBackupSuffix = true;
    // Nobody can see the dialog (no display): its result page closes itself and the run ends.
    bool closeResultPage = false;
    app::HistoryConfig *history = nullptr;
    app::UpdateInfoManager *updateInfo = nullptr;
    // The one-thread pool the restore runs on.
    QThreadPool *pool = nullptr;
    // Gives up the single-instance names before the master starts again or the run ends.
    std::function<void()> releaseSingleInstance;
};

} // namespace runner
