#pragma once

#include "utility/processbase.h"

namespace runner {

// Runs the patch tool on one package:
// "-C-diff -f <oldDir> <diffFile> <outDir>". Only the tool's exit code is relied on.
class UpgraderProcess : public ProcessBase
{
    Q_OBJECT

public:
    explicit UpgraderProcess(QObject *parent = nullptr);

    // toolPath; the updater passes the tool beside its own executable.
    QString program() const override;
    void prepareProcess() override;

    QString toolPath;
    QString oldDir;
    QString outDir;
    QString diffFile;
};

} // namespace runner
