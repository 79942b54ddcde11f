#include "runner/constants.h"

#include "app/constants.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace runner {

QString updateInfoFilePath(const QString &role)
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(dir);
    const QFileInfo name(app::kUpdateInfoFileName);
    return QDir(dir).absoluteFilePath(
            name.baseName() + QLatin1Char('_') + role + QLatin1Char('.') + name.completeSuffix());
}

} // namespace runner
