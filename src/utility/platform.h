#pragma once

#include <QDir>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

// The few texts that differ between the Windows product and other platforms.
namespace platform {

#ifdef Q_OS_WIN
inline const QString kExecutableSuffix = QStringLiteral(".exe");
inline const QString kPatchToolName = QStringLiteral("hpatchz.exe");
constexpr Qt::CaseSensitivity kPathCaseSensitivity = Qt::CaseInsensitive;
#else
inline const QString kExecutableSuffix;
inline const QString kPatchToolName = QStringLiteral("hpatchz");
constexpr Qt::CaseSensitivity kPathCaseSensitivity = Qt::CaseSensitive;
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
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QLatin1Char('/') + name;
#endif
}

// A native shared memory key for name: a name of the kernel's own on Windows, a file elsewhere.
inline QString sharedMemoryNativeKey(const QString &name)
{
    return singleInstanceName(name);
}

} // namespace platform
