#pragma once

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

// The few texts that differ between the Windows product and other platforms.
namespace platform {

#ifdef Q_OS_WIN
inline const QString kExecutableSuffix = QStringLiteral(".exe");
inline const QString kPatchToolName = QStringLiteral("hpatchz.exe");
constexpr Qt::CaseSensitivity kPathCaseSensitivity = Qt::CaseInsensitive;
// What the updater needs beside it to start: its DLLs, Qt's paths and the plugin folders it loads
// (the folders scripts/package-windows.sh puts into the zip).
inline const QStringList kUpdaterRuntimeFilters{ QStringLiteral("*.dll"), QStringLiteral("qt.conf"),
    QStringLiteral("platforms"), QStringLiteral("styles"), QStringLiteral("imageformats") };
// A pipe open to everyone would be open to every user of the machine.
constexpr QLocalServer::SocketOptions kLocalServerOptions = QLocalServer::NoOptions;
#else
inline const QString kExecutableSuffix;
inline const QString kPatchToolName = QStringLiteral("hpatchz");
constexpr Qt::CaseSensitivity kPathCaseSensitivity = Qt::CaseSensitive;
// The updater links the system's libraries.
inline const QStringList kUpdaterRuntimeFilters;
// The socket lives in the user's private folder, so it may be open to all who reach it: the
// user's processes must reach an elevated copy's socket too.
constexpr QLocalServer::SocketOptions kLocalServerOptions = QLocalServer::WorldAccessOption;
#endif

// The system's own program and binary folders, which no installation may be.
inline QStringList systemProgramFolders()
{
#ifdef Q_OS_WIN
    QStringList folders;
    for (const char *variable : { "ProgramFiles", "ProgramFiles(x86)", "ProgramW6432", "SystemRoot" })
        folders << QDir::fromNativeSeparators(qEnvironmentVariable(variable));
    folders << QDir::fromNativeSeparators(qEnvironmentVariable("SystemRoot")) + QStringLiteral("/System32");
    return folders;
#else
    return { QStringLiteral("/bin"), QStringLiteral("/sbin"), QStringLiteral("/usr"), QStringLiteral("/usr/bin"),
        QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local"), QStringLiteral("/usr/local/bin"),
        QStringLiteral("/opt") };
#endif
}

// Where a single-instance name lives. Windows names are the kernel's own; elsewhere a name is a
// file, and in the shared temporary folder any local user could take it first and silence every
// check and upgrade, so it goes into the user's private runtime folder.
inline QString singleInstanceName(const QString &name)
{
#ifdef Q_OS_WIN
    return name;
#else
    // An elevated copy gets the user's runtime folder handed on, which Qt refuses root as not its
    // own. The names must be the user's, or the user's next check would not see the upgrade.
    const QString handedOn = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (::geteuid() == 0 && !handedOn.isEmpty() && QFileInfo(handedOn).isDir())
        return handedOn + QLatin1Char('/') + name;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QLatin1Char('/') + name;
#endif
}

// A native shared memory key for name: a name of the kernel's own on Windows, a file elsewhere.
inline QString sharedMemoryNativeKey(const QString &name)
{
    return singleInstanceName(name);
}

} // namespace platform
