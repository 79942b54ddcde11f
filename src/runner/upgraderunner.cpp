#include "runner/upgraderunner.h"

#include "app/constants.h"
#include "app/historyconfig.h"
#include "app/repairrecord.h"
#include "log/log.h"
#include "runner/constants.h"
#include "runner/fallbacktask.h"
#include "runner/uninstallentry.h"
#include "ui/upgradedialognew.h"
#include "utility/displayscaling.h"
#include "utility/fileutils.h"
#include "utility/platform.h"
#include "utility/processutils.h"

#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QProcess>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent>

namespace runner {

namespace {

// Replaces an owned worker. The one being replaced may be the very object whose callback is on
// the stack (a failed download starting the next one), so it goes only once the stack unwinds.
template<typename T>
void retire(std::unique_ptr<T> &owned)
{
    if (owned)
        owned.release()->deleteLater();
}

bool samePath(const QString &a, const QString &b)
{
    return QDir::cleanPath(a).compare(QDir::cleanPath(b), platform::kPathCaseSensitivity) == 0;
}

} // namespace

UpgradeRunner::UpgradeRunner(UpgradeContext context, QObject *parent)
    : MainRunner(parent)
    , m_context(std::move(context))
{
}

UpgradeRunner::~UpgradeRunner() = default;

bool UpgradeRunner::initialize()
{
    applog::info(QStringLiteral("upgrade runner initialize"));
    QGuiApplication::setQuitOnLastWindowClosed(true);

    // When the updater lives outside the installation, the hand-off put its executable, settings
    // and patch tool at the top of the backup; a restore must not add them to the installation.
    // Nothing has touched the installation yet, so it still tells which of them it holds.
    for (const QString &name : m_context.updaterFileNames) {
        if (!QFileInfo::exists(QDir(m_context.installDir).filePath(name)))
            m_updaterOnlyFiles << name;
    }
    m_upgradeLock = std::make_unique<QLockFile>(m_context.upgradeLockPath);
    m_upgradeLock->setStaleLockTime(0);
    if (!m_upgradeLock->tryLock(kUpgradeLockWaitMs)) {
        applog::critical(QStringLiteral("upgrade runner another upgrade holds the install dir, lock:%1")
                                 .arg(m_context.upgradeLockPath));
        return false;
    }
    app::UpdateInfoManager *manager = m_context.updateInfo;
    if (!manager || !manager->parseUpdateInfo(m_context.updateInfoFilePath, m_context.productVersion)) {
        applog::critical(QStringLiteral("parse updateinfo config error"));
        return false;
    }
    m_upgradePackage = manager->upgradePackage(m_context.productVersion);
    m_fullPackage = manager->fullPackage();
    if (!m_fullPackage) {
        applog::critical(QStringLiteral("updateinfo config doesn't have full package info"));
        return false;
    }
    return true;
}

int UpgradeRunner::run()
{
    applog::info(QStringLiteral("upgrade runner run"));
    app::HistoryConfig *history = m_context.history;
    history->setLastUpgradeTime(QDateTime::currentDateTime());
    history->setCancelled(false);

    showUpgradeProgress();
    beforeUpgrade();
    // A failed start has already ended the loop, with its result shown and stored once.
    if (!start())
        applog::critical(QStringLiteral("upgrade runner start failed"));
    // The loop runs in either case, so the user sees the outcome.
    const int ret = QApplication::exec();
    postUpgrade();
    return ret;
}

void UpgradeRunner::showUpgradeProgress()
{
    applog::info(QStringLiteral("upgrade runner showUpgradeProgress"));
    m_dialog = std::make_unique<ui::UpgradeDialogNew>();
    m_dialog->setWindowIcon(QIcon(kWindowIconPath));
    connect(m_dialog.get(), &ui::UpgradeDialogNew::cancelUpgrade, this, &UpgradeRunner::onCancel);
    connect(m_dialog.get(), &ui::UpgradeDialogNew::openMaster, this, &UpgradeRunner::onOpenMaster);
    connect(m_dialog.get(), &ui::UpgradeDialogNew::manualUpgrade, this, &UpgradeRunner::onManualUpgrade);
    connect(m_dialog.get(), &ui::UpgradeDialogNew::dialogClosed, this, &UpgradeRunner::onDialogClosed);
    connect(m_dialog.get(), &ui::UpgradeDialogNew::signalCloseWidget, this, &UpgradeRunner::onCloseWidget);

    m_dialog->hideCloseButton();
    m_dialog->show();
    m_dialog->activateWindow();
    m_dialog->raise();
    utility::centerOnPrimaryScreen(m_dialog.get());
}

void UpgradeRunner::onCloseWidget()
{
    if (!m_dialog)
        return;
    m_dialog->close();
    // The signal that brought us here comes from the dialog itself.
    m_dialog.release()->deleteLater();
    QCoreApplication::quit();
}

bool UpgradeRunner::start()
{
    m_nextState = m_upgradePackage ? DownloadUpgradePackage : DownloadFullPackage;
    applog::info(QStringLiteral("upgrade runner start, next_state:%1").arg(m_nextState));
    const int result = doloop(ResultSuccess);
    if (result == ResultSuccess || result == ResultPending)
        return true;
    applog::critical(QStringLiteral("upgrade runner start doloop failed, result:%1").arg(result));
    return false;
}

bool UpgradeRunner::cancel()
{
    m_cancelled = true;
    applog::info(QStringLiteral("upgrade runner cancel, current_state:%1, next_state:%2")
                         .arg(m_currentState)
                         .arg(m_nextState));
    // A running package application or restore is not interrupted; its handler sees the flag.
    // An aborted download may come back as a failure rather than as a cancel (the reply reports
    // its end from inside the abort); the handlers look at the flag first, so either way the
    // outcome is the cancel.
    if ((m_currentState == DownloadUpgradePackage || m_currentState == DownloadFullPackage) && m_downloader)
        return m_downloader->cancel();
    return false;
}

int UpgradeRunner::doloop(int result)
{
    if (m_nextState == StateNone) {
        // Every callback answers a wait; one without a pending state has nothing to resume.
        applog::critical(QStringLiteral("upgrade runner doloop without pending state, result:%1").arg(result));
        return result;
    }
    do {
        m_currentState = m_nextState;
        m_nextState = StateNone;
        applog::info(QStringLiteral("upgrade runner doloop, state:%1, result:%2").arg(m_currentState).arg(result));
        switch (m_currentState) {
        case DownloadUpgradePackage:
            result = downloadUpgradePackage();
            break;
        case DownloadUpgradePackageComplete:
            result = downloadUpgradePackageComplete(result);
            break;
        case DownloadFullPackage:
            result = downloadFullPackage();
            break;
        case DownloadFullPackageComplete:
            result = downloadFullPackageComplete(result);
            break;
        case UpgradeUpgradePackage:
            result = upgradeUpgradePackage();
            break;
        case UpgradeUpgradePackageComplete:
            result = upgradeUpgradePackageComplete(result);
            break;
        case UpgradeFullPackage:
            result = upgradeFullPackage();
            break;
        case UpgradeFullPackageComplete:
            result = upgradeFullPackageComplete(result);
            break;
        case FallbackUpgradePackage:
            result = fallbackUpgradePackage();
            break;
        case FallbackUpgradePackageComplete:
            result = fallbackUpgradePackageComplete(result);
            break;
        case FallbackFullPackage:
            result = fallbackFullPackage();
            break;
        case FallbackFullPackageComplete:
            result = fallbackFullPackageComplete(result);
            break;
        default:
            break;
        }
    } while (result != ResultPending && m_nextState != StateNone);

    if (m_nextState != StateNone)
        return result;

    const int shown = finalUpgradeResult(result, m_closedByUser);
    switch (shown) {
    case ResultSuccess:
        if (m_dialog)
            m_dialog->setUpgradeResult(true);
        createShortcutAndVersion();
        break;
    case ResultCancelled:
    case ResultCancelRestoreFailed:
        if (m_dialog)
            m_dialog->setCancelResult(shown == ResultCancelled);
        break;
    case ResultClosedByUser:
        break;
    default:
        if (m_dialog)
            m_dialog->setUpgradeResult(false);
        break;
    }
    // Only a restore that did not put everything back leaves the installation untrusted.
    if ((shown != ResultCancelRestoreFailed && shown != ResultRestoreFailed) || !QFileInfo(m_context.backupDir).isDir())
        markInstallationWhole();
    afterUpgrade();
    reportResult(shown);
    applog::info(QStringLiteral("upgrade runner doloop complete, result:%1").arg(shown));
    m_context.history->setLastUpgradeStatus(quint32(shown));
    m_finalResult = shown;
    // The user closed the window, or there is no display: nobody is left to read a result page.
    // Queued, because the loop may end before the event loop has started.
    if (shown == ResultClosedByUser || m_context.closeResultPage) {
        if (shown != ResultClosedByUser)
            applog::info(QStringLiteral("upgrade runner has no display, result page closed, result:%1").arg(shown));
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    }
    return shown;
}

int UpgradeRunner::follow(int result)
{
    const UpgradeTransition next = upgradeTransition(m_currentState, result, m_cancelled, m_isIncremental);
    if (next.incrementalFailed && m_dialog)
        m_dialog->showIncrementalFailed();
    if (next.nextState == DownloadFullPackage)
        return tryFullPackage();
    m_nextState = next.nextState;
    return next.result;
}

int UpgradeRunner::downloadUpgradePackage()
{
    applog::info(QStringLiteral("upgrade runner download upgrade pakcage"));
    const QString version = m_context.productVersion;
    const bool matches = m_upgradePackage && m_upgradePackage->versionRequired == version
            && app::compareVersion(version, m_context.updateInfo->targetVersion()) < 0;
    if (!matches) {
        applog::critical(QStringLiteral("upgrade runner upgrade package version not match"));
        return follow(ResultFailed);
    }
    const QUrl url(m_upgradePackage->downloadUrl);
    m_upgradePackagePath = packageFilePath(url);
    if (m_upgradePackagePath.isEmpty() || !startRequest(url, m_upgradePackagePath)) {
        applog::critical(QStringLiteral("upgrade runner downloadupgrade package start request failed"));
        return follow(ResultFailed);
    }
    return follow(ResultPending);
}

int UpgradeRunner::downloadUpgradePackageComplete(int result)
{
    applog::info(QStringLiteral("upgrade runner downloadupgrade package complete, result:%1").arg(result));
    return follow(result);
}

int UpgradeRunner::downloadFullPackage()
{
    applog::info(QStringLiteral("upgrade runner download full pakcage"));
    if (app::compareVersion(m_context.productVersion, m_context.updateInfo->targetVersion()) >= 0) {
        applog::critical(QStringLiteral("upgrade runner download full package version not match"));
        return follow(ResultFailed);
    }
    const QUrl url(m_fullPackage->downloadUrl);
    m_fullPackagePath = packageFilePath(url);
    if (m_fullPackagePath.isEmpty() || !startRequest(url, m_fullPackagePath)) {
        applog::critical(QStringLiteral("upgrade runner download full package start request failed"));
        return follow(ResultFailed);
    }
    return follow(ResultPending);
}

int UpgradeRunner::downloadFullPackageComplete(int result)
{
    applog::info(QStringLiteral("upgrade runner download full package complete, result:%1").arg(result));
    return follow(result);
}

int UpgradeRunner::upgradeUpgradePackage()
{
    applog::info(QStringLiteral("upgrade runner upgrade upgrade package"));
    m_isIncremental = true;
    replaceUpgrader();
    if (!markInstallationInFlux()
            || !startUpgrade(m_upgradePackagePath, m_upgradePackage, kIncrementalProgressDurationMs)) {
        applog::critical(QStringLiteral("upgrade runner upgrade package start upgrade failed"));
        return follow(ResultFailed);
    }
    return follow(ResultPending);
}

int UpgradeRunner::upgradeUpgradePackageComplete(int result)
{
    applog::info(QStringLiteral("upgrade runner upgrade upgrade package complete, result:%1").arg(result));
    utility::removeFile(m_upgradePackagePath);
    if (!m_cancelled && result == ResultSuccess)
        m_isIncremental = false;
    return follow(result);
}

int UpgradeRunner::upgradeFullPackage()
{
    applog::info(QStringLiteral("upgrade runner upgrade full package"));
    m_isIncremental = false;
    replaceUpgrader();
    if (!markInstallationInFlux() || !startUpgrade(m_fullPackagePath, m_fullPackage, kFullProgressDurationMs)) {
        applog::critical(QStringLiteral("upgrade runner full package start upgrade failed"));
        return follow(ResultFailed);
    }
    return follow(ResultPending);
}

int UpgradeRunner::upgradeFullPackageComplete(int result)
{
    applog::info(QStringLiteral("upgrade runner upgrade full package complete, result:%1").arg(result));
    utility::removeFile(m_fullPackagePath);
    return follow(result);
}

int UpgradeRunner::fallbackUpgradePackage()
{
    return startFallback(true);
}

int UpgradeRunner::fallbackFullPackage()
{
    return startFallback(false);
}

int UpgradeRunner::startFallback(bool incremental)
{
    applog::info(incremental ? QStringLiteral("upgrade runner fallback upgrade package")
                             : QStringLiteral("upgrade runner fallback full package"));
    if (!m_upgrader) {
        applog::critical(incremental ? QStringLiteral("upgrade runner fallback upgrade package init error")
                                     : QStringLiteral("upgrade runner fallback fullpackage init error"));
        return follow(ResultFailed);
    }
    m_upgrader->fallBack();
    // Written already before the package was applied; the restore must run even if not.
    markInstallationInFlux();
    applog::info(QStringLiteral("restore install dir from backup, dir:%1, backup:%2")
                         .arg(m_context.installDir, m_context.backupDir));

    retire(m_fallbackWatcher);
    m_fallbackWatcher = std::make_unique<QFutureWatcher<bool>>();
    connect(m_fallbackWatcher.get(), &QFutureWatcherBase::finished, this, &UpgradeRunner::onFallbackComplete);
    m_fallbackWatcher->setFuture(QtConcurrent::run(m_context.pool, fallbackTask, m_context.installDir,
            m_context.backupDir, m_updaterOnlyFiles, m_context.withBackupSuffix));
    return follow(ResultPending);
}

int UpgradeRunner::fallbackUpgradePackageComplete(int result)
{
    applog::info(QStringLiteral("upgrade runner fallback upgrade package complete, result:%1").arg(result));
    return follow(result);
}

int UpgradeRunner::fallbackFullPackageComplete(int result)
{
    applog::info(QStringLiteral("upgrade runner fallback full package complete, result:%1").arg(result));
    return follow(result);
}

int UpgradeRunner::tryFullPackage()
{
    applog::info(QStringLiteral("upgrade runner try full package"));
    m_nextState = DownloadFullPackage;
    return ResultSuccess;
}

QString UpgradeRunner::packageFilePath(const QUrl &url) const
{
    const QString name = url.fileName(QUrl::FullyDecoded);
    const QString baseName = QFileInfo(name).completeBaseName();
    const QDir dataDir(m_context.dataDir);
    const QString path = dataDir.absoluteFilePath(name);
    // The name comes from the server. It must stay a plain file name inside the data directory,
    // and neither the package nor the output tree made beside it (the name without its suffix)
    // may take the place of the update description, the history or the backup.
    const bool plainName = !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
            && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char(':'))
            && !name.contains(QChar(0));
    const bool ownOutputDir = !baseName.isEmpty() && baseName != name && baseName != QLatin1String(".")
            && baseName != QLatin1String("..");
    const bool valid = plainName && ownOutputDir && !samePath(path, m_context.updateInfoFilePath)
            && !samePath(path, m_context.historyFilePath)
            && !samePath(dataDir.absoluteFilePath(baseName), m_context.backupDir);
    if (!valid) {
        applog::critical(QStringLiteral("upgrade runner package file name refused, url:%1").arg(url.toString()));
        return QString();
    }
    QDir().mkpath(dataDir.absolutePath());
    return path;
}

bool UpgradeRunner::startRequest(const QUrl &url, const QString &path)
{
    applog::info(QStringLiteral("upgrade runner start request, url:%1, path%2").arg(url.toString(), path));
    retire(m_downloader);
    m_downloader = downloader::createDownloader(downloader::kKindPackage, m_context.pool);
    const auto self = std::dynamic_pointer_cast<downloader::Downloader::Delegate>(shared_from_this());
    if (!m_downloader->initialize(self, url, path)) {
        applog::critical(QStringLiteral("upgrade runner init downloader error"));
        return false;
    }
    if (!m_downloader->run()) {
        applog::critical(QStringLiteral("upgrade runner run downloader error"));
        return false;
    }
    return true;
}

void UpgradeRunner::replaceUpgrader()
{
    retire(m_upgrader);
    m_upgrader = std::make_unique<Upgrader>(m_context.installDir, m_context.patchToolPath, m_context.withBackupSuffix);
}

bool UpgradeRunner::startUpgrade(
        const QString &path, const app::UpdateInfoManager::PackageInfoPtr &package, int duration)
{
    applog::info(QStringLiteral("upgrade runner start upgrade, package dir:%1").arg(path));
    const auto self = std::dynamic_pointer_cast<Upgrader::Delegate>(shared_from_this());
    if (!m_upgrader->initialize(self, path, package, duration)) {
        applog::critical(QStringLiteral("upgrade runner init upgrader error"));
        return false;
    }
    if (!m_upgrader->run()) {
        applog::critical(QStringLiteral("upgrade runner run upgrader error"));
        return false;
    }
    return true;
}

void UpgradeRunner::reportResult(int result)
{
    applog::info(QStringLiteral("upgrade runner reportResult, result:%1").arg(result));
}

void UpgradeRunner::postUpgrade()
{
    applog::info(QStringLiteral("upgrade runner post upgrade"));
    if (m_upgrader)
        m_upgrader->postUpgrade();
    // A restore still copying from the backup must finish before the backup goes.
    if (m_fallbackWatcher)
        m_fallbackWatcher->waitForFinished();
    utility::removeFile(m_upgradePackagePath);
    utility::removeFile(m_fullPackagePath);
    // The loop can be left while a package is still being applied (the user insisting on closing
    // the window); the installation may then be half replaced and the backup is its only copy.
    if (m_nextState != StateNone) {
        applog::critical(QStringLiteral("upgrade runner quit before the upgrade ended, backup kept, state:%1")
                                 .arg(m_currentState));
    } else if (m_inFlux) {
        // A restore that did not put everything back leaves the backup as the only whole copy.
        applog::critical(
                QStringLiteral("upgrade runner restore incomplete, backup kept, result:%1").arg(m_finalResult));
    } else {
        utility::deleteDirectory(m_context.backupDir);
    }
    m_upgradeLock.reset();
}

bool UpgradeRunner::markInstallationInFlux()
{
    if (m_inFlux)
        return true;
    app::RepairRecord record;
    record.installDir = m_context.installDir;
    record.backupDir = m_context.backupDir;
    record.role = m_context.role;
    record.updaterOnlyFiles = m_updaterOnlyFiles;
    if (!record.save(m_context.repairRecordPath)) {
        applog::critical(
                QStringLiteral("upgrade runner repair record not written, path:%1").arg(m_context.repairRecordPath));
        return false;
    }
    m_inFlux = true;
    return true;
}

void UpgradeRunner::markInstallationWhole()
{
    if (m_inFlux && app::RepairRecord::remove(m_context.repairRecordPath))
        m_inFlux = false;
}

void UpgradeRunner::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal <= 0 || !m_dialog)
        return;
    m_dialog->setProgress(int(double(bytesReceived) / double(bytesTotal) * kDownloadProgressShare));
}

void UpgradeRunner::onDownloadComplete(bool success)
{
    applog::info(QStringLiteral("upgrade runner on download complete, result:%1").arg(success ? 1 : 0));
    doloop(success ? ResultSuccess : ResultDownloadFailed);
}

void UpgradeRunner::onDownloadCancelled()
{
    applog::info(QStringLiteral("upgrade runner on download cancelled"));
    doloop(ResultCancelled);
}

void UpgradeRunner::onUpgradeProgress(int elapsed, int duration)
{
    if (duration <= 0 || !m_dialog)
        return;
    int value = int(double(elapsed) / double(duration) * kApplyProgressShare + kDownloadProgressShare);
    if (value >= 100)
        value = kApplyProgressCeiling;
    m_dialog->setProgress(value);
}

void UpgradeRunner::onUpgradeComplete(bool success)
{
    applog::info(QStringLiteral("upgrade runner on ungrade complete, result:%1").arg(success ? 1 : 0));
    doloop(success ? ResultSuccess : ResultRestored);
}

void UpgradeRunner::onUpgradeFallback(bool success)
{
    applog::info(QStringLiteral("upgrade runner on ungrade fallback, result:%1").arg(success ? 1 : 0));
    doloop(success ? ResultSuccess : ResultRestoreFailed);
}

void UpgradeRunner::onFallbackComplete()
{
    applog::info(QStringLiteral("upgrade runner on fallback complete"));
    const bool restored = m_fallbackWatcher && m_fallbackWatcher->result();
    applog::info(QStringLiteral("restore install dir done, result:%1").arg(restored ? 1 : 0));
    doloop(restored ? ResultSuccess : ResultRestoreFailed);
}

void UpgradeRunner::onCancel()
{
    applog::info(QStringLiteral("upgrade runner on cancel"));
    m_context.history->setCancelled(true);
    cancel();
}

void UpgradeRunner::onDialogClosed()
{
    applog::info(QStringLiteral("upgrade runner on dialog closed"));
    if (m_closedByUser)
        return;
    m_closedByUser = true;
    cancel();
}

void UpgradeRunner::onOpenMaster()
{
    applog::info(QStringLiteral("upgrade runner on open master"));
    if (m_context.releaseSingleInstance)
        m_context.releaseSingleInstance();
    QProcess::startDetached(m_context.exePath, QStringList());
    QCoreApplication::quit();
}

void UpgradeRunner::onManualUpgrade()
{
    applog::info(QStringLiteral("upgrade runner on manual upgrade"));
    const QString productUrl = m_context.updateInfo->productUrl();
    const QUrl url(productUrl);
    const QString scheme = url.scheme().toLower();
    // The page comes from the update server; a file: or other URL could start a program.
    if (url.isValid() && (scheme == kSchemeHttp || scheme == kSchemeHttps) && !url.host().isEmpty())
        QDesktopServices::openUrl(url);
    else
        applog::critical(QStringLiteral("upgrade runner product url refused, url:%1").arg(productUrl));
    QCoreApplication::quit();
}

void UpgradeRunner::onActiveDialog()
{
    if (!m_dialog)
        return;
    applog::info(QStringLiteral("another process try to run. active this."));
    m_dialog->show();
    m_dialog->activateWindow();
    m_dialog->raise();
}

bool UpgradeRunner::beforeUpgrade()
{
    applog::info(QStringLiteral("before upgrade."));
    utility::killProcessByName(QFileInfo(m_context.exePath).fileName());
    for (const QString &name : m_context.needKilledProcesses)
        utility::killProcessByName(name.trimmed());
    return true;
}

bool UpgradeRunner::afterUpgrade()
{
    applog::info(QStringLiteral("after upgrade."));
    if (m_context.releaseSingleInstance)
        m_context.releaseSingleInstance();
    return true;
}

void UpgradeRunner::createShortcutAndVersion()
{
    QString key;
    QString linkName;
    if (m_context.role == app::kRoleTeacher) {
        key = kUninstallKeyPrefix + kUninstallTeacher;
        linkName = kShortcutTeacher + kShortcutSuffix;
    } else if (m_context.role == app::kRoleStudent) {
        key = kUninstallKeyPrefix + kUninstallStudent;
        linkName = kShortcutStudent + kShortcutSuffix;
    } else {
        return;
    }
    utility::createDesktopShortcut(m_context.exePath, linkName);
    setUninstallDisplayVersion(key, m_context.updateInfo->targetVersion());
}

} // namespace runner
