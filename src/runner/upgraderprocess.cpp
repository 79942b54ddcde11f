#include "runner/upgraderprocess.h"

#include "runner/constants.h"
#include "utility/platform.h"

#include <QCoreApplication>

namespace runner {

UpgraderProcess::UpgraderProcess(QObject *parent)
    : ProcessBase(parent)
{
}

QString UpgraderProcess::program() const
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + platform::kPatchToolName;
}

void UpgraderProcess::prepareProcess()
{
    setProgram(program());
    setArguments({ kPatchToolDiffSwitch, kPatchToolForceSwitch, oldDir, diffFile, outDir });
}

} // namespace runner
