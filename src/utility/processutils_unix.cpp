#include "utility/processutils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <vector>

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

namespace utility {
namespace {

const QString kProcDir = QStringLiteral("/proc");
const QString kElevationTool = QStringLiteral("pkexec");
const QString kDeletedMark = QStringLiteral(" (deleted)");

bool hasDisplay()
{
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

// The executable's file name: the target of the exe link when readable, else argv[0] (processes of
// other users, kernel threads without a command line give nothing).
QString executableName(const QString &pidDir)
{
    QString target = QFile::symLinkTarget(pidDir + QStringLiteral("/exe"));
    if (!target.isEmpty()) {
        // A program whose file was replaced while it runs still has to be found by its name.
        if (target.endsWith(kDeletedMark))
            target.chop(kDeletedMark.size());
        return QFileInfo(target).fileName();
    }
    QFile cmdline(pidDir + QStringLiteral("/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray argv0 = cmdline.readAll().split('\0').value(0);
    return QFileInfo(QFile::decodeName(argv0)).fileName();
}

} // namespace

bool StartUpWithPrivilege(const QString &file, const QString &parameters)
{
    const QStringList arguments = QProcess::splitCommand(parameters);
    if (::geteuid() == 0)
        return QProcess::startDetached(file, arguments);

    const QString tool = QStandardPaths::findExecutable(kElevationTool);
    if (tool.isEmpty() || !hasDisplay())
        return false;
    return QProcess::startDetached(tool, QStringList{ QFileInfo(file).absoluteFilePath() } + arguments);
}

int killProcessByName(const QString &name)
{
    if (name.isEmpty())
        return KillNotFound;

    const QDir proc(kProcDir);
    if (!proc.exists())
        return KillFailed;
    std::vector<pid_t> pids;
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const pid_t pid = static_cast<pid_t>(entry.toLong(&isNumber));
        if (isNumber && pid > 0)
            pids.push_back(pid);
    }
    if (pids.empty())
        return KillFailed;
    std::sort(pids.begin(), pids.end());

    const QString wanted = name.toLower();
    // Ending ourselves would abandon the upgrade half done, whatever the settings list.
    const pid_t self = ::getpid();
    for (const pid_t pid : pids) {
        if (pid == self)
            continue;
        if (executableName(kProcDir + QLatin1Char('/') + QString::number(pid)).toLower() != wanted)
            continue;
        return ::kill(pid, SIGKILL) == 0 ? KillTerminated : KillFailed;
    }
    return KillNotFound;
}

} // namespace utility
