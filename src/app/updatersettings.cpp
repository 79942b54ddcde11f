#include "app/updatersettings.h"

#include "app/constants.h"
#include "crypto/signature.h"

#include <QFileInfo>
#include <QSettings>

namespace app {

SettingsStatus readSettings(const QString &path, UpdaterSettings *settings)
{
    if (!QFileInfo::exists(path))
        return SettingsStatus::FileMissing;
    QSettings file(path, QSettings::IniFormat);
    file.setIniCodec(kIniCodec);
    file.beginGroup(kConfigGroup);
    settings->checkInterval = file.value(kConfigCheckInterval, 0u).toUInt();
    settings->checkIntervalAfterUserCancel = file.value(kConfigCheckIntervalAfterUserCancel, 0u).toUInt();
    settings->enableProxy = file.value(kConfigEnableProxy, false).toBool();
    settings->needKilledProcesses = file.value(kConfigNeedKilledProcesses).toStringList();
    settings->withBackupSuffix = file.value(kConfigWithBackupSuffix).toBool();
    const bool keyGiven = file.contains(kConfigPublicKey);
    settings->publicKey = crypto::fromStrictBase64(file.value(kConfigPublicKey).toString().trimmed().toLatin1());
    file.endGroup();
    if (settings->checkInterval == 0 || settings->checkIntervalAfterUserCancel == 0)
        return SettingsStatus::IntervalInvalid;
    // A key that cannot be read or used must never leave the updater taking unsigned descriptions.
    if (keyGiven && (settings->publicKey.size() != crypto::kPublicKeySize || !crypto::available()))
        return SettingsStatus::PublicKeyInvalid;
    return SettingsStatus::Ok;
}

} // namespace app
