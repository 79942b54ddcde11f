#pragma once

#include "app/updateinfomanager.h"
#include "downloader/downloader.h"
#include "runner/mainrunner.h"
#include "runner/upgradecontext.h"
#include "runner/upgrader.h"
#include "runner/upgradetransition.h"

#include <QFutureWatcher>
#include <QLockFile>
#include <QString>

#include <memory>

namespace ui {
class UpgradeDialogNew;
}

namespace runner {

// The "realUpgrade" job: shows the progress dialog, ends the master, then drives a state loop that
// downloads and applies the incremental package for the installed version, restores the
// installation from the backup when applying fails, and falls back to the full package. The outcome
// is a result number shown in the dialog, stored in the history and logged.
class UpgradeRunner : public MainRunner, public downloader::Downloader::Delegate, public runner::Upgrader::Delegate
{
    Q_OBJECT

public:
    explicit UpgradeRunner(UpgradeContext context, QObject *parent = nullptr);
    ~UpgradeRunner() override;

    // Reads the update description the check left on disk; false without it or without a full
    // package (no dialog is shown then).
    bool initialize() override;
    // Shows the dialog, starts the loop and runs the event loop until the user leaves.
    int run() override;

    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal) override;
    void onDownloadComplete(bool success) override;
    void onDownloadCancelled() override;

    void onUpgradeProgress(int elapsed, int duration) override;
    void onUpgradeComplete(bool success) override;
    void onUpgradeFallback(bool success) override;

public slots:
    void onCancel();
    void onOpenMaster();
    void onManualUpgrade();
    void onDialogClosed();
    void onActiveDialog();
    void onFallbackComplete();

private:
    void onCloseWidget();
    void showUpgradeProgress();
    bool start();
    bool cancel();
    int doloop(int result);

    int downloadUpgradePackage();
    int downloadUpgradePackageComplete(int result);
    int downloadFullPackage();
    int downloadFullPackageComplete(int result);
    int upgradeUpgradePackage();
    int upgradeUpgradePackageComplete(int result);
    int upgradeFullPackage();
    int upgradeFullPackageComplete(int result);
    int fallbackUpgradePackage();
    int fallbackUpgradePackageComplete(int result);
    int fallbackFullPackage();
    int fallbackFullPackageComplete(int result);
    int startFallback(bool incremental);

    int tryFullPackage();
    // Asks the transition table what follows the current state's result, and goes there.
    int follow(int result);
    // The local file for a package URL, or empty when its name could lead outside the data directory.
    QString packageFilePath(const QUrl &url) const;
    bool startRequest(const QUrl &url, const QString &path);
    bool startUpgrade(const QString &path, const app::UpdateInfoManager::PackageInfoPtr &package, int duration);
    void replaceUpgrader();
    void reportResult(int result);
    void postUpgrade();

    bool beforeUpgrade();
    // The repair record: written before the installation is first changed, removed once it is
    // whole again. false when it could not be written; the installation must not be touched then.
    bool markInstallationInFlux();
    void markInstallationWhole();
    bool afterUpgrade();
    void createShortcutAndVersion();

    std::unique_ptr<ui::UpgradeDialogNew> m_dialog;
    std::unique_ptr<QFutureWatcher<bool>> m_fallbackWatcher;
    std::unique_ptr<downloader::Downloader> m_downloader;
    std::unique_ptr<Upgrader> m_upgrader;
    const UpgradeContext m_context;
    // The updater's own files that the backup holds beside the installation's copy.
    QStringList m_updaterOnlyFiles;
    app::UpdateInfoManager::PackageInfoPtr m_upgradePackage;
    app::UpdateInfoManager::PackageInfoPtr m_fullPackage;
    QString m_upgradePackagePath;
    QString m_fullPackagePath;
    bool m_isIncremental = false;
    bool m_cancelled = false;
    bool m_closedByUser = false;
    qint32 m_nextState = StateNone;
    qint32 m_currentState = StateNone;
    // The outcome once the loop has ended; -1 before.
    int m_finalResult = -1;
    // Held for the whole run: no other start repairs the installation or removes the backup.
    std::unique_ptr<QLockFile> m_upgradeLock;
    bool m_inFlux = false;
};

} // namespace runner
