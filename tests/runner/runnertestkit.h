#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Trees, packages and patch tools for the runner tests.
namespace runnertest {

// Relative path -> content.
using Files = QMap<QString, QByteArray>;

// Empties root (created when missing) and writes files into it.
bool writeTree(const QString &root, const Files &files);
// Relative paths of every file below root, sorted.
QStringList fileList(const QString &root);

// mkhpatch from the build: an incremental package from oldDir to newDir, or a full one of newDir.
bool makePackage(const QString &oldDir, const QString &newDir, const QString &package);
bool makeFullPackage(const QString &newDir, const QString &package);

// The patch tool the applier runs: the one beside the running test program.
QString toolPath();
// Puts the real hpatchz there.
bool installRealTool();
// A shell script standing in for the tool: it records its arguments in toolPath() + ".args" and the
// names in its third argument (the old tree) in toolPath() + ".listing", prints text, waits
// sleepSeconds when given, and then ends as told.
struct StandIn
{
    enum Ending { Exit, Hang, Crash };
    int exitCode = 0;
    QByteArray text;
    QByteArray sleepSeconds;
    Ending ending = Exit;
};
bool installStandInTool(const StandIn &standIn);
void removeTool();
QStringList recordedArguments();
QStringList recordedListing();

} // namespace runnertest
