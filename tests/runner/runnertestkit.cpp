#include "runnertestkit.h"

#include "utility/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace runnertest {

namespace {

bool runBuildTool(const QString &name, const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(SOLUPDATE_BIN_DIR "/") + name, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(name), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

bool writeTree(const QString &root, const Files &files)
{
    QDir(root).removeRecursively();
    if (!QDir().mkpath(root))
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size())
            return false;
    }
    return true;
}

QStringList fileList(const QString &root)
{
    QStringList list;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        list << QDir(root).relativeFilePath(it.next());
    list.sort();
    return list;
}

bool makePackage(const QString &oldDir, const QString &newDir, const QString &package)
{
    return runBuildTool(QStringLiteral("mkhpatch"), { QStringLiteral("--level"), QStringLiteral("3"), oldDir,
                                                      newDir, package });
}

bool makeFullPackage(const QString &newDir, const QString &package)
{
    return runBuildTool(QStringLiteral("mkhpatch"),
                        { QStringLiteral("--full"), QStringLiteral("--level"), QStringLiteral("3"), newDir, package });
}

QString toolPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + platform::kPatchToolName;
}

bool installRealTool()
{
    removeTool();
    return QFile::copy(QStringLiteral(SOLUPDATE_BIN_DIR "/") + platform::kPatchToolName, toolPath());
}

bool installStandInTool(const StandIn &standIn)
{
    removeTool();
    const QString path = toolPath();
    QByteArray script = "#!/bin/sh\n"
                        "printf '%s\\n' \"$@\" > \"$0.args\"\n"
                        "ls -A \"$3\" > \"$0.listing\"\n";
    if (!standIn.text.isEmpty())
        script += "printf '%s' '" + standIn.text + "'\n";
    if (!standIn.sleepSeconds.isEmpty())
        script += "sleep " + standIn.sleepSeconds + "\n";
    switch (standIn.ending) {
    case StandIn::Exit:
        script += "exit " + QByteArray::number(standIn.exitCode) + "\n";
        break;
    case StandIn::Hang:
        script += "exec sleep 600\n";
        break;
    case StandIn::Crash:
        script += "kill -SEGV $$\n";
        break;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size())
        return false;
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void removeTool()
{
    QFile::remove(toolPath());
    QFile::remove(toolPath() + QStringLiteral(".args"));
    QFile::remove(toolPath() + QStringLiteral(".listing"));
}

QStringList recordedArguments()
{
    return readLines(toolPath() + QStringLiteral(".args"));
}

QStringList recordedListing()
{
    return readLines(toolPath() + QStringLiteral(".listing"));
}

} // namespace runnertest
