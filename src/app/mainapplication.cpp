#include "app/mainapplication.h"

#include "app/constants.h"
#include "app/historyconfig.h"
#include "app/repairrecord.h"
#include "app/updateinfomanager.h"
#include "app/updatersettings.h"
#include "log/log.h"
#include "utility/fileutils.h"
#include "utility/platform.h"
#include "utility/processutils.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QNetworkProxy>
#include <QProcess>
#include <QSharedMemory>
#include <QStandardPaths>
#include <QThreadPool>

namespace app {
namespace {

constexpr int kProbeTimeoutMs = 5000;

QString checkServerName()
{
    return platform::singleInstanceName(kLocalServerPrefix + kActionCheckUpdate);
}

QString upgradeServerName()
{
    return platform::singleInstanceName(kLocalServerPrefix + kActionUpgrade);
}

// The connection itself is the message: a running instance owns the job. A name held by another
// program would otherwise silence every check and upgrade; it is taken over instead. A peer the
// system says nothing about counts as an updater, as it did before peers could be told apart.
bool probe(const QString &name)
{
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kProbeTimeoutMs))
        return false;
    qint64 pid = 0;
    QString peer;
    if (!utility::localSocketPeer(socket.socketDescriptor(), &pid, &peer) || peer.isEmpty())
        return true;
    const QString own = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (peer.compare(own, platform::kPathCaseSensitivity) == 0)
        return true;
    applog::critical(QStringLiteral("single instance name held by a process that is not an updater, name:%1, pid:%2")
                             .arg(name)
                             .arg(pid));
    return false;
}

} // namespace

MainApplication::MainApplication(int &argc, char **argv)
    : QApplication(argc, argv)
    , m_threadPool(new QThreadPool(this))
{
    m_params = LaunchParameters::parse(*this);
}

MainApplication::~MainApplication() = default;

MainApplication *MainApplication::instance()
{
    return qobject_cast<MainApplication *>(QCoreApplication::instance());
}

void MainApplication::choosePlatform(int argc, char **argv)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY")
            || qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        return;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-platform") == 0)
            return;
    }
    // Without a display QApplication aborts; a check shows no window and must still run.
    qputenv("QT_QPA_PLATFORM", "offscreen");
#else
    Q_UNUSED(argc)
    Q_UNUSED(argv)
#endif
}

bool MainApplication::initialize()
{
    applog::info(QStringLiteral("mainapplication initialize"));

    if (isUpgradeProcessRunning()) {
        applog::info(QStringLiteral("upgrade process is running."));
        return true;
    }

    // Before the parameters are checked: the half-replaced installation may lack the very
    // executable they name.
    const Repair repair = repairInterruptedUpgrade();

    if (!validateCommandLine()) {
        applog::critical(QStringLiteral("parse commandline error"));
        return false;
    }

    if (m_params.action == kActionUpgrade || m_params.action == kActionRealUpgrade) {
        switch (checkUpgradeTarget(m_installDir, backupDirPath())) {
        case UpgradeTarget::Ok:
            break;
        case UpgradeTarget::FileSystemRoot:
            applog::critical(QStringLiteral("upgrade refused, install dir is the root of a file system, dir:%1")
                                     .arg(m_installDir));
            return false;
        case UpgradeTarget::OverlapsBackup:
            applog::critical(QStringLiteral("upgrade refused, install dir and backup dir overlap, dir:%1, backup:%2")
                                     .arg(m_installDir, backupDirPath()));
            return false;
        case UpgradeTarget::SharedFolder:
            applog::critical(
                    QStringLiteral("upgrade refused, install dir is a shared folder, dir:%1").arg(m_installDir));
            return false;
        }
    }

    if (m_params.action == kActionUpgrade) {
        // Checked before the hand-off copies anything: a file that is no client must not get its
        // whole folder copied.
        if (!isValidVersionShape(productVersion())) {
            applog::critical(QStringLiteral("product version is invalid, version:%1").arg(productVersion()));
            return false;
        }
        // This instance may be one of the files the upgrade replaces, so a copy outside the
        // installation does the work and this run ends here. A backup that still has to repair
        // the installation is the only good copy: the copy repairs from it first.
        if (repair == Repair::Failed)
            applog::critical(QStringLiteral("install dir not repaired, backup kept for the upgrade"));
        else
            prepareBackup();
        closeLocalServers();
        restartSelfForRealUpgrade();
        return false;
    }

    if (m_params.action == kActionRealUpgrade && repair == Repair::Failed) {
        applog::critical(QStringLiteral("upgrade refused, install dir could not be repaired"));
        return false;
    }

    if (m_params.action == kActionCheckUpdate && !QFileInfo::exists(repairRecordPath())) {
        // A backup left behind by an earlier upgrade is stale once a new check runs, unless an
        // upgrade of this installation is still at work with it.
        QLockFile lock(upgradeLockPath());
        lock.setStaleLockTime(0);
        if (lock.tryLock(0))
            utility::deleteDirectory(backupDirPath());
    }

    loadTranslation();

    if (!parseConfig()) {
        applog::critical(QStringLiteral("parse config error"));
        return false;
    }

    if (m_enableProxy) {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, kProxyHost, kProxyPort));
    }

    const QString version = productVersion();
    if (!isValidVersionShape(version)) {
        applog::critical(QStringLiteral("product version is invalid, version:%1").arg(version));
        return false;
    }

    initLocalServer();
    initSharedMemory();

    historyConfig()->parseHistory(historyFilePath());

    m_threadPool->setMaxThreadCount(1);
    QGuiApplication::setQuitOnLastWindowClosed(false);
    if (m_params.lang == kLangCn || m_params.lang == kLangEn)
        QApplication::setFont(QFont(kAppFontFamily));
    return true;
}

bool MainApplication::validateCommandLine()
{
    LaunchParameters &p = m_params;
    // All values in one arg() call: a URL's percent escapes must not be filled by a later one.
    applog::debug(QStringLiteral("parsed commaindline: mode:%1, action:%2, role:%3, exePath:%4, version:%5, "
                                 "updateUrl:%6, masterPid:%7, language:%8, masterMainwin:%9, "
                                 "masterLocalServer:%10, logDirPath:%11")
                          .arg(p.mode, p.action, p.role, p.exePath, p.version, p.updateUrl, p.masterPid, p.lang,
                                  p.masterHwnd, p.masterLocalServer, p.logDirPath));

    // Only the members of the failed check are cleared; the others keep what was parsed.
    const ParameterCheck failed = checkLaunchParameters(p);
    switch (failed) {
    case ParameterCheck::Passed:
        break;
    case ParameterCheck::Mode:
        p.mode.clear();
        break;
    case ParameterCheck::Action:
        p.action.clear();
        break;
    case ParameterCheck::Role:
        p.role.clear();
        break;
    case ParameterCheck::RequiredValue:
        p.exePath.clear();
        p.updateUrl.clear();
        p.masterPid.clear();
        p.masterHwnd.clear();
        p.masterLocalServer.clear();
        break;
    case ParameterCheck::Lang:
        p.lang.clear();
        break;
    }
    if (failed != ParameterCheck::Passed)
        return false;
    if (!initExeName()) {
        m_exeName.clear();
        m_installDirName.clear();
        m_installDir.clear();
        return false;
    }
    return true;
}

bool MainApplication::initExeName()
{
    applog::info(QStringLiteral("Init exe name."));
    const QFileInfo exe(m_params.exePath);
    if (!exe.exists()) {
        applog::critical(QStringLiteral("product exe path not exists."));
        return false;
    }
    m_exeName = exe.fileName();
    m_installDirName = exe.dir().dirName();
    m_installDir = exe.dir().absolutePath();
    return true;
}

QString MainApplication::productVersion()
{
    if (m_params.version.isEmpty()) {
        m_params.version = utility::fileProductVersion(m_params.exePath);
        applog::info(QStringLiteral("product version:%1").arg(m_params.version));
    }
    return m_params.version;
}

bool MainApplication::parseConfig()
{
    UpdaterSettings settings;
    const SettingsStatus status = readSettings(configFilePath(), &settings);
    if (status == SettingsStatus::FileMissing) {
        applog::critical(QStringLiteral("config file not exists"));
        return false;
    }
    m_checkInterval = settings.checkInterval;
    m_checkIntervalAfterUserCancel = settings.checkIntervalAfterUserCancel;
    m_enableProxy = settings.enableProxy;
    m_needKilledProcesses = settings.needKilledProcesses;
    m_withBackupSuffix = settings.withBackupSuffix;
    m_publicKey = settings.publicKey;

    applog::info(QStringLiteral("parsed config: check_interval:%1,check_interval_after_user_cancel:%2,"
                                "enable_proxy:%3,need_killed_processes_before_upgrade:%4,with_backup_sufix:%5")
                         .arg(QString::number(m_checkInterval), QString::number(m_checkIntervalAfterUserCancel),
                                 QString::number(m_enableProxy ? 1 : 0), m_needKilledProcesses.join(QLatin1Char(',')),
                                 QString::number(m_withBackupSuffix ? 1 : 0)));
    if (status == SettingsStatus::IntervalInvalid) {
        applog::critical(QStringLiteral("parsed config key invalid"));
        return false;
    }
    if (status == SettingsStatus::PublicKeyInvalid) {
        applog::critical(QStringLiteral("parsed config public key invalid"));
        return false;
    }
    if (!m_publicKey.isEmpty())
        applog::info(QStringLiteral("parsed config public key:%1").arg(QString::fromLatin1(m_publicKey.toBase64())));
    return true;
}

HistoryConfig *MainApplication::historyConfig()
{
    if (!m_historyConfig)
        m_historyConfig = std::make_unique<HistoryConfig>();
    return m_historyConfig.get();
}

bool MainApplication::isUpgradeProcessRunning()
{
    if (!probe(upgradeServerName()))
        return false;
    applog::info(QStringLiteral("upgrade server already exists"));
    m_multiInstance = true;
    return true;
}

void MainApplication::initLocalServer()
{
    applog::info(QStringLiteral("mainapplication init localserver"));
    if (probe(checkServerName())) {
        applog::info(QStringLiteral("checkupdate server already exists"));
        if (m_params.action == kActionCheckUpdate) {
            m_multiInstance = true;
            return;
        }
    }
    if (probe(upgradeServerName())) {
        applog::info(QStringLiteral("upgrade server already exists"));
        m_multiInstance = true;
        return;
    }

    if (m_params.action == kActionCheckUpdate) {
        m_checkServer = listenOn(checkServerName(), this);
    } else if (m_params.action == kActionUpgrade || m_params.action == kActionRealUpgrade) {
        m_upgradeServer = listenOn(upgradeServerName(), this);
        if (m_upgradeServer->isListening()) {
            applog::debug(QStringLiteral("upgrade server listening."));
            connect(m_upgradeServer, &QLocalServer::newConnection, this, &MainApplication::signal_activeUpgradeDialog);
        }
    }
}

QLocalServer *MainApplication::listenOn(const QString &name, QObject *parent)
{
    auto server = new QLocalServer(parent);
    server->setSocketOptions(platform::kLocalServerOptions);
    // A name left behind by a process that was killed reads as in use although nobody listens
    // (the probe above found no one), so it is taken over once.
    if (!server->listen(name) && server->serverError() == QAbstractSocket::AddressInUseError) {
        QLocalServer::removeServer(name);
        server->listen(name);
    }
    return server;
}

void MainApplication::initSharedMemory()
{
    if (m_sharedMemory)
        return;
    m_sharedMemory = new QSharedMemory(this);
    m_sharedMemory->setNativeKey(
            platform::sharedMemoryNativeKey(kSharedMemoryPrefix + QLatin1Char('_') + m_params.role));
    m_sharedMemory->create(1, QSharedMemory::ReadOnly);
}

void MainApplication::closeLocalServers()
{
    if (m_checkServer)
        m_checkServer->close();
    if (m_upgradeServer)
        m_upgradeServer->close();
}

void MainApplication::releaseSharedMemory()
{
    delete m_sharedMemory;
    m_sharedMemory = nullptr;
}

UpdateInfoManager *MainApplication::updateInfoManager()
{
    if (!m_updateInfoManager)
        m_updateInfoManager = std::make_unique<UpdateInfoManager>();
    return m_updateInfoManager.get();
}

QString MainApplication::historyFilePath() const
{
    return historyFilePathFor(m_params.role);
}

QString MainApplication::historyFilePathFor(const QString &role)
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(dir);
    const QFileInfo name(kHistoryFileName);
    return dir + QLatin1Char('/') + name.baseName() + QLatin1Char('_') + role + QLatin1Char('.')
            + name.completeSuffix();
}

QString MainApplication::repairRecordPath() const
{
    return RepairRecord::pathFor(QFileInfo(backupDirPath()).absolutePath(), m_installDirName);
}

QString MainApplication::upgradeLockPath() const
{
    return QFileInfo(backupDirPath()).absolutePath() + QLatin1Char('/') + m_installDirName + kUpgradeLockSuffix;
}

QString MainApplication::backupDirPath() const
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(dir);
    return dir + QLatin1Char('/') + m_installDirName + kBackupDirSuffix;
}

QString MainApplication::backupUpdaterPath() const
{
    return backupDirPath() + QLatin1Char('/') + applicationName() + platform::kExecutableSuffix;
}

QString MainApplication::configFilePath() const
{
    return applicationDirPath() + QLatin1Char('/') + kConfigFileName;
}

QString MainApplication::patchToolPath() const
{
    return applicationDirPath() + QLatin1Char('/') + platform::kPatchToolName;
}

MainApplication::UpgradeTarget MainApplication::checkUpgradeTarget(const QString &installDir, const QString &backupDir)
{
    const QDir install(installDir);
    // A link to a root is as much a root as the root itself.
    if (install.isRoot() || QDir(install.canonicalPath()).isRoot())
        return UpgradeTarget::FileSystemRoot;

    const auto canonical = [](const QString &path) {
        // The backup directory may not exist yet; its parent does once backupDirPath() ran.
        const QFileInfo info(path);
        const QString parent = info.dir().canonicalPath();
        const QString resolved = info.exists()
                ? info.canonicalFilePath()
                : (parent.isEmpty() ? info.absoluteFilePath() : parent + QLatin1Char('/') + info.fileName());
        return QDir::cleanPath(resolved);
    };
    const QString installPath = canonical(installDir);
    const QString backupPath = canonical(backupDir);
    const auto contains = [](const QString &outer, const QString &inner) {
        return inner.compare(outer, platform::kPathCaseSensitivity) == 0
                || inner.startsWith(outer + QLatin1Char('/'), platform::kPathCaseSensitivity);
    };
    QStringList shared = platform::systemProgramFolders();
    shared << QDir::homePath() << QDir::tempPath();
    for (const auto location :
            { QStandardPaths::DesktopLocation, QStandardPaths::DocumentsLocation, QStandardPaths::DownloadLocation })
        shared << QStandardPaths::writableLocation(location);
    for (const QString &folder : qAsConst(shared)) {
        if (!folder.isEmpty() && installPath.compare(canonical(folder), platform::kPathCaseSensitivity) == 0)
            return UpgradeTarget::SharedFolder;
    }
    if (contains(installPath, backupPath) || contains(backupPath, installPath))
        return UpgradeTarget::OverlapsBackup;
    return UpgradeTarget::Ok;
}

MainApplication::Repair MainApplication::repairInterruptedUpgrade()
{
    if (m_params.exePath.isEmpty())
        return Repair::NotNeeded;
    // Only the installation the parameters name, found even when its executable is gone.
    const QDir install = QFileInfo(m_params.exePath).absoluteDir();
    m_installDir = install.absolutePath();
    m_installDirName = install.dirName();
    const QString path = repairRecordPath();
    if (!QFileInfo::exists(path))
        return Repair::NotNeeded;

    QLockFile lock(upgradeLockPath());
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0)) {
        applog::critical(QStringLiteral("repair record in use by a running upgrade, path:%1").arg(path));
        return Repair::Failed;
    }
    RepairRecord record;
    const bool loaded = record.load(path);
    applog::critical(QStringLiteral("repair record found, dir:%1, backup:%2").arg(record.installDir, record.backupDir));
    // The record steers what is emptied and refilled: it must name this installation, its own
    // backup and an edition, and the installation must be one an upgrade may replace.
    const bool matches = loaded && QDir::cleanPath(record.installDir) == m_installDir
            && QDir::cleanPath(record.backupDir) == QDir::cleanPath(backupDirPath())
            && (record.role == kRoleTeacher || record.role == kRoleStudent)
            && checkUpgradeTarget(m_installDir, backupDirPath()) == UpgradeTarget::Ok;
    if (!matches) {
        applog::critical(QStringLiteral("repair record refused, path:%1").arg(path));
        return Repair::Failed;
    }

    HistoryConfig history;
    history.parseHistory(historyFilePathFor(record.role));
    history.setLastUpgradeTime(QDateTime::currentDateTime());
    if (!QFileInfo(record.backupDir).isDir()) {
        // Nothing can put it back; the record would only block every later upgrade, whose full
        // package is now the way back to a whole installation.
        applog::critical(QStringLiteral("install dir repair failed, backup missing, dir:%1").arg(m_installDir));
        history.setLastUpgradeStatus(kStatusRepairFailed);
        RepairRecord::remove(path);
        return Repair::Abandoned;
    }
    if (!utility::replaceDirectoryContents(
                record.backupDir, m_installDir, record.updaterOnlyFiles, utility::CopyMode::Plain)) {
        applog::critical(QStringLiteral("install dir repair failed, dir:%1").arg(m_installDir));
        history.setLastUpgradeStatus(kStatusRepairFailed);
        return Repair::Failed;
    }
    RepairRecord::remove(path);
    history.setLastUpgradeStatus(kStatusRepaired);
    applog::critical(QStringLiteral("install dir repaired, dir:%1").arg(m_installDir));
    return Repair::Repaired;
}

void MainApplication::prepareBackup()
{
    const QString backupDir = backupDirPath();
    // A check that starts meanwhile must not take this backup for a stale one.
    QLockFile lock(upgradeLockPath());
    lock.setStaleLockTime(0);
    lock.tryLock(0);
    utility::deleteDirectory(backupDir);
    // The settings are not read in this run, so the suffix flag still holds its initial true.
    utility::copyDirectoryFiles(m_installDir, backupDir, true,
            m_withBackupSuffix ? utility::CopyMode::WithBackupSuffix : utility::CopyMode::Plain);

    // An updater outside the installation did not come along with the tree. What the
    // installation holds of the same names stays the installation's.
    if (!QFileInfo::exists(backupUpdaterPath())) {
        const QDir from(applicationDirPath());
        const QDir to(backupDir);
        for (const QString &name : updaterFileNames()) {
            if (QFileInfo::exists(to.filePath(name)))
                continue;
            if (QFileInfo(from.filePath(name)).isDir())
                utility::copyDirectoryFiles(from.filePath(name), to.filePath(name), true, utility::CopyMode::Plain);
            else
                QFile::copy(from.filePath(name), to.filePath(name));
        }
    }
}

QStringList MainApplication::updaterFileNames() const
{
    QStringList names{ QFileInfo(applicationFilePath()).fileName(), kConfigFileName, platform::kPatchToolName };
    if (!platform::kUpdaterRuntimeFilters.isEmpty())
        names << QDir(applicationDirPath())
                         .entryList(platform::kUpdaterRuntimeFilters, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    return names;
}

void MainApplication::restartSelfForRealUpgrade()
{
    LaunchParameters parameters = m_params;
    parameters.action = kActionRealUpgrade;
    const QStringList arguments = parameters.toArguments();
    const QString commandLine = arguments.join(QLatin1Char(' '));
    applog::info(QStringLiteral("main application restart self for real upgrade, cmdline:%1").arg(commandLine));

    const QString program = backupUpdaterPath();
    if (utility::StartUpWithPrivilege(program, commandLine))
        return;
    applog::critical(QStringLiteral("[solupdate] start updater failed, StartUpWithPrivilege error"));
    // Without elevation the copy may still manage an installation the user can write to.
    if (!QProcess::startDetached(program, arguments))
        applog::critical(QStringLiteral("[solupdate] start updater failed, startDetached error"));
}

void MainApplication::loadTranslation()
{
    const QString resource = kTranslationPath.arg(applicationName() + QLatin1Char('_') + m_params.lang);
    m_translator.load(resource);
    installTranslator(&m_translator);
}

} // namespace app
