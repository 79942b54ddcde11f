#pragma once

#include "app/launchparameters.h"

#include <QApplication>
#include <QStringList>
#include <QTranslator>

#include <memory>

class QLocalServer;
class QSharedMemory;
class QThreadPool;

namespace app {

class HistoryConfig;
class UpdateInfoManager;

// The hub of one updater process: launch parameters, settings, product identity and the objects
// every part shares. Reached through MainApplication::instance().
class MainApplication : public QApplication
{
    Q_OBJECT

public:
    // Parses the launch parameters; an unknown option or one without a value ends the process
    // with status 1 before anything is logged.
    MainApplication(int &argc, char **argv);
    ~MainApplication() override;

    static MainApplication *instance();

    // Picks the offscreen platform when no display is reachable and no platform was chosen, so
    // that a check, which shows no window, also runs where there is no display. Call before
    // constructing the application.
    static void choosePlatform(int argc, char **argv);

    // The startup steps; false means no runner is to run.
    bool initialize();

    // Whether an installation may be upgraded with a backup at backupDir: never the root of a file
    // system, and never where the backup and the installation overlap, because the backup copy, its
    // removal and the restore would then empty the installation or copy without end.
    // Nor a folder other programs and files share (the home folder, the desktop, the temporary
    // folder, the system's program folders): replacing the installation empties it.
    enum class UpgradeTarget { Ok, FileSystemRoot, OverlapsBackup, SharedFolder };
    static UpgradeTarget checkUpgradeTarget(const QString &installDir, const QString &backupDir);

    // Fills the backup directory with the installation and, when the updater lives elsewhere, with
    // the updater's executable, settings file and patch tool. Failures are silent.
    void prepareBackup();

    // An upgrade that stopped while changing the installation left a repair record: the
    // installation is put back from the backup before this start does anything else. Failed: the
    // record and the backup stay for a later start; Abandoned: there was no backup to repair from.
    enum class Repair { NotNeeded, Repaired, Failed, Abandoned };
    Repair repairInterruptedUpgrade();
    // Starts the copy in the backup directory elevated with action "realUpgrade", or unelevated
    // when that fails; logs each failed start.
    void restartSelfForRealUpgrade();
    // Closes the single-instance servers that exist.
    void closeLocalServers();

    bool validateCommandLine();
    bool initExeName();
    bool parseConfig();
    // Installs the translation named after this executable and lang; under another executable name
    // there is none and the run goes on untranslated.
    void loadTranslation();
    // A server listening on name, parented to parent. A name reported in use is removed and
    // listened on once more; the result of that second try is what the caller gets.
    static QLocalServer *listenOn(const QString &name, QObject *parent);
    // The launch parameters as they are now, for starting another instance.
    LaunchParameters launchParameters() const { return m_params; }

    QString mode() const { return m_params.mode; }
    QString action() const { return m_params.action; }
    QString role() const { return m_params.role; }
    QString exeName() const { return m_exeName; }
    QString exePath() const { return m_params.exePath; }
    QString installDirName() const { return m_installDirName; }
    QString installDir() const { return m_installDir; }
    // Reads the version from the product executable on first use.
    QString productVersion();
    QString updateUrl() const { return m_params.updateUrl; }
    QString masterPid() const { return m_params.masterPid; }
    QString lang() const { return m_params.lang; }
    QString masterHwnd() const { return m_params.masterHwnd; }
    QString masterLocalServer() const { return m_params.masterLocalServer; }
    QString logDirPath() const { return m_params.logDirPath; }

    bool enableProxy() const { return m_enableProxy; }
    quint32 checkInterval() const { return m_checkInterval; }
    quint32 checkIntervalAfterUserCancel() const { return m_checkIntervalAfterUserCancel; }
    QStringList needKilledProcesses() const { return m_needKilledProcesses; }
    bool withBackupSuffix() const { return m_withBackupSuffix; }
    // Empty when the update descriptions are not signed.
    QByteArray publicKey() const { return m_publicKey; }
    bool isMultiInstance() const { return m_multiInstance; }

    HistoryConfig *historyConfig();
    // The update description of this run, empty until parsed.
    UpdateInfoManager *updateInfoManager();
    QThreadPool *threadPool() const { return m_threadPool; }

    // Single instance: true when a running upgrade answered the probe (multiInstance is then set).
    bool isUpgradeProcessRunning();
    // Listens on the check or upgrade name for this action, unless another instance owns the job.
    void initLocalServer();
    // A one-byte segment that marks this edition as running.
    void initSharedMemory();
    void releaseSharedMemory();

    // The history file of this edition in the local data directory (created when missing).
    QString historyFilePath() const;
    static QString historyFilePathFor(const QString &role);

    // Where the upgrade keeps its copy of the installation and of the updater itself.
    QString backupDirPath() const;
    // Beside the backup: the repair record of the installation and the lock its upgrade holds.
    QString repairRecordPath() const;
    QString upgradeLockPath() const;
    QString backupUpdaterPath() const;
    QString configFilePath() const;
    QString patchToolPath() const;
    // The names, in the updater's folder, of what a copy of it needs to run: itself, its settings,
    // the patch tool and, on Windows, its runtime (DLLs, plugin folders).
    QStringList updaterFileNames() const;

signals:
    void signal_activeUpgradeDialog();

private:
    LaunchParameters m_params;
    QString m_exeName;
    QString m_installDirName;
    QString m_installDir;
    bool m_enableProxy = false;
    quint32 m_checkInterval = 0;
    quint32 m_checkIntervalAfterUserCancel = 0;
    QStringList m_needKilledProcesses;
    bool m_withBackupSuffix = true;
    QByteArray m_publicKey;
    std::unique_ptr<HistoryConfig> m_historyConfig;
    std::unique_ptr<UpdateInfoManager> m_updateInfoManager;
    QLocalServer *m_checkServer = nullptr;
    QLocalServer *m_upgradeServer = nullptr;
    bool m_multiInstance = false;
    QSharedMemory *m_sharedMemory = nullptr;
    QThreadPool *m_threadPool = nullptr;
    QTranslator m_translator;
};

} // namespace app
