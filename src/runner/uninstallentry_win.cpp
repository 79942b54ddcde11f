#include "runner/uninstallentry.h"

#include "runner/constants.h"

#include <QSettings>

namespace runner {

void setUninstallDisplayVersion(const QString &key, const QString &version)
{
    QSettings settings(key, QSettings::NativeFormat);
    settings.setValue(kDisplayVersionKey, version);
}

} // namespace runner
