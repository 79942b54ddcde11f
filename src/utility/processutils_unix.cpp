#include "utility/processutils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <vector>

#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace utility {
namespace {

const QString kProcDir = QStringLiteral("/proc");
const QString kElevationTool = QStringLiteral("pkexec");
const QString kDeletedMark = QStringLiteral(" (deleted)");
const QString kShell = QStringLiteral("/bin/sh");
// Arguments: the pid file, the status file, then the command. Started in the background so that
// its pid is known while it waits for the user.
const QString kRecordingScript
        = QStringLiteral("p=$1; s=$2; shift 2; \"$@\" & echo $! > \"$p\"; wait $!; echo $? > \"$s\"");
// What a session's programs need to find their files and their display.
constexpr const char *kForwardedVariables[] = { "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "QT_QPA_PLATFORM", "HOME",
    "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME" };
// pkexec's statuses for a dismissed prompt or a refusal, and for a failed authentication.
constexpr int kStatusDismissed = 126;
constexpr int kStatusNotAuthorised = 127;
constexpr int kAuthorisationTimeoutMs = 120000;
constexpr unsigned long kPollIntervalMs = 100;
// The kernel keeps this much of a program's name as the process's command name.
constexpr int kCommandNameLength = 15;

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(256) : QByteArray();
}

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
    QTemporaryDir handOff;
    if (!handOff.isValid())
        return false;
    const QString pidFile = handOff.filePath(QStringLiteral("pid"));
    const QString statusFile = handOff.filePath(QStringLiteral("status"));

    // pkexec clears the environment, so the copy would look for its files in root's home and
    // show its window nowhere; env hands the user's settings on. The shell records pkexec's exit
    // status, the only sign of a refused authorisation.
    QStringList command{ pidFile, statusFile, tool, QStringLiteral("env") };
    for (const char *name : kForwardedVariables) {
        if (qEnvironmentVariableIsSet(name))
            command << QString::fromLatin1(name) + QLatin1Char('=') + qEnvironmentVariable(name);
    }
    command << QFileInfo(file).absoluteFilePath() << arguments;
    if (!QProcess::startDetached(kShell, QStringList{ QStringLiteral("-c"), kRecordingScript, kShell } + command))
        return false;

    // pkexec turns into the program once the user is authorised, and ends with 126 or 127 when
    // not. Bounded: a prompt left open is dismissed, and the caller falls back.
    const QString programName = QFileInfo(file).fileName().left(kCommandNameLength);
    pid_t pid = 0;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kAuthorisationTimeoutMs) {
        bool valid = false;
        const int status = readSmallFile(statusFile).trimmed().toInt(&valid);
        if (valid)
            return status != kStatusDismissed && status != kStatusNotAuthorised;
        if (pid <= 0)
            pid = pid_t(readSmallFile(pidFile).trimmed().toLong());
        if (pid > 0
                && QString::fromLocal8Bit(readSmallFile(kProcDir + QStringLiteral("/%1/comm").arg(pid)).trimmed())
                        == programName)
            return true;
        QThread::msleep(kPollIntervalMs);
    }
    if (pid > 0)
        ::kill(pid, SIGTERM);
    return false;
}

bool localSocketPeer(qintptr socketDescriptor, qint64 *pid, QString *peerName)
{
#ifdef SO_PEERCRED
    struct ucred peer;
    socklen_t size = sizeof peer;
    if (::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0)
        return false;
    *pid = peer.pid;
    *peerName = executableName(kProcDir + QLatin1Char('/') + QString::number(peer.pid));
    return true;
#else
    Q_UNUSED(socketDescriptor)
    Q_UNUSED(pid)
    Q_UNUSED(peerName)
    return false;
#endif
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
