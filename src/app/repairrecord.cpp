#include "app/repairrecord.h"

#include "app/constants.h"
#include "utility/fileutils.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace app {

namespace {

// The record steers what an elevated process empties and refills, so it is read with care.
constexpr qint64 kMaxRecordSize = 64 * 1024;

} // namespace

QString RepairRecord::pathFor(const QString &dataDir, const QString &installDirName)
{
    return dataDir + QLatin1Char('/') + installDirName + kRepairRecordSuffix;
}

bool RepairRecord::save(const QString &path) const
{
    QJsonObject object;
    object.insert(kRecordInstallDir, installDir);
    object.insert(kRecordBackupDir, backupDir);
    object.insert(kRecordRole, role);
    object.insert(kRecordUpdaterOnlyFiles, QJsonArray::fromStringList(updaterOnlyFiles));
    return utility::writeFileDurably(path, QJsonDocument(object).toJson());
}

bool RepairRecord::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxRecordSize)
        return false;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    installDir = object.value(kRecordInstallDir).toString();
    backupDir = object.value(kRecordBackupDir).toString();
    role = object.value(kRecordRole).toString();
    updaterOnlyFiles.clear();
    for (const QJsonValue &name : object.value(kRecordUpdaterOnlyFiles).toArray())
        updaterOnlyFiles << name.toString();
    return !installDir.isEmpty() && !backupDir.isEmpty();
}

bool RepairRecord::remove(const QString &path)
{
    return utility::removeFileDurably(path);
}

} // namespace app
