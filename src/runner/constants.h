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

// The local path of the update description for an edition: update_<role>.json in the local data
// directory (created when missing).
QString updateInfoFilePath(const QString &role);

} // namespace runner
