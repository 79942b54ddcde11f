#include "utility/processutils.h"

#include "utility/process_win32.h"

#include <string>
#include <vector>

namespace utility {

bool StartUpWithPrivilege(const QString &file, const QString &parameters)
{
    // The shell takes a path with forward slashes for something else than a file on some systems.
    QString native = file;
    native.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return win32::startElevated(native.toStdWString(), parameters.toStdWString());
}

bool localSocketPeer(qintptr socketDescriptor, qint64 *pid, QString *executableName)
{
    unsigned long server = 0;
    std::wstring path;
    if (!win32::pipeServerProcess(reinterpret_cast<void *>(socketDescriptor), &server, &path))
        return false;
    *pid = qint64(server);
    *executableName = QString::fromStdWString(path.substr(path.find_last_of(L"\\/") + 1));
    return true;
}

int killProcessByName(const QString &name)
{
    if (name.isEmpty())
        return KillNotFound;
    std::vector<win32::ProcessEntry> processes;
    if (!win32::listProcesses(&processes))
        return KillFailed;

    const QString wanted = name.toLower();
    // Ending ourselves would abandon the upgrade half done, whatever the settings list.
    const unsigned long self = win32::currentProcessId();
    for (const win32::ProcessEntry &process : processes) {
        if (process.pid == self || QString::fromStdWString(process.exeFile).toLower() != wanted)
            continue;
        return win32::terminateProcess(process.pid) == 1 ? KillTerminated : KillFailed;
    }
    return KillNotFound;
}

} // namespace utility
