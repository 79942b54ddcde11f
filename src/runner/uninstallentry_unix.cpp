#include "runner/uninstallentry.h"

#include "app/constants.h"
#include "runner/constants.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace runner {

void setUninstallDisplayVersion(const QString &key, const QString &version)
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QDir().mkpath(dir);
    QSettings settings(dir + QLatin1Char('/') + kUninstallIniFileName, QSettings::IniFormat);
    settings.setIniCodec(app::kIniCodec);
    settings.beginGroup(key.section(QLatin1Char('\\'), -1));
    settings.setValue(kDisplayVersionKey, version);
    settings.endGroup();
}

} // namespace runner
