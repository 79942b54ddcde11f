#include "runner/upgraderprocess.h"

#include "runner/constants.h"

namespace runner {

UpgraderProcess::UpgraderProcess(QObject *parent)
    : ProcessBase(parent)
{
}

QString UpgraderProcess::program() const
{
    return toolPath;
}

void UpgraderProcess::prepareProcess()
{
    setProgram(program());
    setArguments({ kPatchToolDiffSwitch, kPatchToolForceSwitch, oldDir, diffFile, outDir });
}

} // namespace runner
