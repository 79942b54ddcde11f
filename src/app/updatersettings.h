#pragma once

#include <QString>
#include <QStringList>

namespace app {

// The values of the settings file "solupdate.ini" beside the updater, section [config].
struct UpdaterSettings
{
    quint32 checkInterval = 0;
    quint32 checkIntervalAfterUserCancel = 0;
    bool enableProxy = false;
    QStringList needKilledProcesses;
    bool withBackupSuffix = false;
    // The Ed25519 key (32 bytes) that signs the update descriptions; empty: they are not signed.
    QByteArray publicKey;
};

enum class SettingsStatus { Ok, FileMissing, IntervalInvalid, PublicKeyInvalid };

// Reads the settings file at path into settings. FileMissing leaves settings alone;
// IntervalInvalid (either interval missing, 0 or not a number) and PublicKeyInvalid (a PublicKey
// that is not the Base64 of 32 bytes) still fill settings with what the file holds, so the caller
// can log it. Logs nothing.
SettingsStatus readSettings(const QString &path, UpdaterSettings *settings);

} // namespace app
