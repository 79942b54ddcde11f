#pragma once

#include <QString>

// Fixed texts of the application shell: launch parameter names and values, settings and history
// keys, file names and single-instance names. Other subsystems keep their own constants.
namespace app {

// Launch parameter names, in the order they are defined, parsed, logged and rebuilt.
inline const QString kParamMode = QStringLiteral("mode");
inline const QString kParamAction = QStringLiteral("action");
inline const QString kParamRole = QStringLiteral("role");
inline const QString kParamExePath = QStringLiteral("exePath");
inline const QString kParamVersion = QStringLiteral("version");
inline const QString kParamUpdateUrl = QStringLiteral("updateUrl");
inline const QString kParamMasterPid = QStringLiteral("masterPid");
inline const QString kParamLang = QStringLiteral("lang");
inline const QString kParamMasterHwnd = QStringLiteral("masterHwnd");
inline const QString kParamMasterLocalServer = QStringLiteral("masterLocalServer");
inline const QString kParamLogDirPath = QStringLiteral("logDirPath");

inline const QString kModeAuto = QStringLiteral("auto");
inline const QString kModeManual = QStringLiteral("manual");
inline const QString kActionCheckUpdate = QStringLiteral("checkUpdate");
inline const QString kActionUpgrade = QStringLiteral("upgrade");
inline const QString kActionRealUpgrade = QStringLiteral("realUpgrade");
inline const QString kRoleTeacher = QStringLiteral("teacher");
inline const QString kRoleStudent = QStringLiteral("student");
inline const QString kLangEn = QStringLiteral("en");
inline const QString kLangCn = QStringLiteral("cn");

// Settings file beside the executable.
inline const QString kConfigFileName = QStringLiteral("solupdate.ini");
inline const QString kConfigGroup = QStringLiteral("config");
inline const QString kConfigCheckInterval = QStringLiteral("CheckInterval");
inline const QString kConfigCheckIntervalAfterUserCancel = QStringLiteral("CheckIntervalAfterUserCancel");
inline const QString kConfigEnableProxy = QStringLiteral("EnableProxy");
inline const QString kConfigNeedKilledProcesses = QStringLiteral("NeedKilledProcessesBeforeUpgrade");
// The misspelling is what installed settings files carry.
inline const QString kConfigWithBackupSuffix = QStringLiteral("WithBackupSufix");

// Update history file in the local data directory.
inline const QString kHistoryFileName = QStringLiteral("solupdate_history.ini");
inline const QString kHistoryGroup = QStringLiteral("history");
// The misspelling is what history files on users' machines carry.
inline const QString kHistoryDestVersion = QStringLiteral("DestVesion");
inline const QString kHistoryPreVersion = QStringLiteral("PreVersion");
inline const QString kHistoryLastNotifyTime = QStringLiteral("LastNotifyTime");
inline const QString kHistoryLastUpgradeTime = QStringLiteral("LastUpgradeTime");
inline const QString kHistoryNotified = QStringLiteral("Notified");
inline const QString kHistoryCancelled = QStringLiteral("Cancelled");
inline const QString kHistoryLastUpgradeStatus = QStringLiteral("LastUpgradeStatus");

// Update description document: the file it is saved to (role inserted before the suffix) and its keys.
inline const QString kUpdateInfoFileName = QStringLiteral("update.json");
inline const QString kDocStrategy = QStringLiteral("strategy");
inline const QString kDocForce = QStringLiteral("force");
inline const QString kDocConfig = QStringLiteral("config");
inline const QString kDocName = QStringLiteral("name");
inline const QString kDocVersion = QStringLiteral("version");
inline const QString kDocContent = QStringLiteral("content");
inline const QString kDocTitle = QStringLiteral("title");
inline const QString kDocProductUrl = QStringLiteral("product_url");
inline const QString kDocPackage = QStringLiteral("package");
inline const QString kDocUpgradePackages = QStringLiteral("upgrade_packages");
inline const QString kDocFullPackage = QStringLiteral("full_package");
inline const QString kDocDownloadUrl = QStringLiteral("download_url");
inline const QString kDocVersionRequired = QStringLiteral("version_required");

inline const char *const kIniCodec = "UTF8";

// Single-instance names.
inline const QString kLocalServerPrefix = QStringLiteral("solupdate{BEA83754-F8C8-4DD3-8A1A-1197EF25F64D}");
inline const QString kSharedMemoryPrefix
        = QStringLiteral("solupdate_sharedmemory{07EC1003-4F65-45CD-9812-6293EE6F6D2E}");

// Backup directory next to the local data directory.
inline const QString kBackupDirSuffix = QStringLiteral("_backup");
// Beside the backup: the record that the installation is being changed, and the lock an upgrade
// of the installation holds while it runs.
inline const QString kRepairRecordSuffix = QStringLiteral("_repair.json");
inline const QString kUpgradeLockSuffix = QStringLiteral("_upgrade.lock");
inline const QString kRecordInstallDir = QStringLiteral("installDir");
inline const QString kRecordBackupDir = QStringLiteral("backupDir");
inline const QString kRecordRole = QStringLiteral("role");
inline const QString kRecordUpdaterOnlyFiles = QStringLiteral("updaterOnlyFiles");
// "LastUpgradeStatus" after a start found an upgrade that had stopped while changing the
// installation: put back from the backup, or not. The upgrade loop's own results stay below 12.
constexpr quint32 kStatusRepaired = 12;
constexpr quint32 kStatusRepairFailed = 13;

// Proxy used when the settings enable it.
inline const QString kProxyHost = QStringLiteral("127.0.0.1");
constexpr quint16 kProxyPort = 8888;

inline const QString kAppFontFamily = QStringLiteral("Microsoft YaHei UI");
inline const QString kTranslationPath = QStringLiteral(":/translations/%1.qm");

} // namespace app
