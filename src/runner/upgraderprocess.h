#pragma once

#include "utility/processbase.h"

namespace runner {

// Runs the patch tool beside the running updater on one package:
// "-C-diff -f <oldDir> <diffFile> <outDir>". Only the tool's exit code is relied on.
class UpgraderProcess : public ProcessBase
{
    Q_OBJECT

public:
    explicit UpgraderProcess(QObject *parent = nullptr);

    // The patch tool in the running updater's own directory.
    QString program() const override;
    void prepareProcess() override;

    QString oldDir;
    QString outDir;
    QString diffFile;
};

} // namespace runner
