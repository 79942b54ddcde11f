#pragma once

#include <QDir>
#include <QString>

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

// A native shared memory key for name. Windows keys are names of the kernel's own; elsewhere the
// key is a file path, and a bare name would put that file into whatever directory the process
// was started in.
inline QString sharedMemoryNativeKey(const QString &name)
{
#ifdef Q_OS_WIN
    return name;
#else
    return QDir::tempPath() + QLatin1Char('/') + name;
#endif
}

} // namespace platform
