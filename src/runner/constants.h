#pragma once

#include <QString>

// Fixed texts and numbers of the runners.
namespace runner {

// Members of the check result the master receives.
inline const QString kPayloadNeedUpdate = QStringLiteral("needUpdate");
inline const QString kPayloadIsForceUpdate = QStringLiteral("isForceUpdate");
inline const QString kPayloadIsManual = QStringLiteral("isManual");
inline const QString kPayloadTargetVersion = QStringLiteral("targetVersion");
inline const QString kPayloadUpdateInfoContent = QStringLiteral("updateInfoContent");

constexpr int kNotifyAttempts = 3;
constexpr int kNotifyConnectTimeoutSeconds = 3;

// Package application: the patch tool's switches, the progress tick and the animation lengths.
inline const QString kPatchToolDiffSwitch = QStringLiteral("-C-diff");
inline const QString kPatchToolForceSwitch = QStringLiteral("-f");
constexpr int kUpgradeProgressTickMs = 200;
// How long an upgrade waits for another start to finish repairing or backing up the installation.
constexpr int kUpgradeLockWaitMs = 30000;
constexpr int kIncrementalProgressDurationMs = 1000;
constexpr int kFullProgressDurationMs = 5000;

// The share of the progress bar the download fills; applying fills the rest up to 99.
constexpr int kDownloadProgressShare = 60;
constexpr int kApplyProgressShare = 40;
constexpr int kApplyProgressCeiling = 99;

inline const QString kWindowIconPath = QStringLiteral(":/icon.ico");

// Product pages are opened only over these schemes; anything else could start a program.
inline const QString kSchemeHttp = QStringLiteral("http");
inline const QString kSchemeHttps = QStringLiteral("https");

// Marks of a successful upgrade: the Uninstall entry of the edition and its desktop shortcut.
inline const QString kUninstallKeyPrefix
        = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
inline const QString kUninstallTeacher = QStringLiteral("Tandemo_Teacher");
inline const QString kUninstallStudent = QStringLiteral("Tandemo_Student");
inline const QString kDisplayVersionKey = QStringLiteral("DisplayVersion");
// Where the Uninstall entry lives on platforms without a registry (in the generic config location).
inline const QString kUninstallIniFileName = QStringLiteral("uninstall.ini");
inline const QString kShortcutTeacher = QStringLiteral("Quillora-老师版");
inline const QString kShortcutStudent = QStringLiteral("Quillora-学生版");
inline const QString kShortcutSuffix = QStringLiteral(".lnk");

// The local path of the update description for an edition: update_<role>.json in the local data
// directory (created when missing).
QString updateInfoFilePath(const QString &role);

} // namespace runner
