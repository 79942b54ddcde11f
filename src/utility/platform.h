#pragma once

#include <QString>

// The few texts that differ between the Windows product and other platforms.
namespace platform {

#ifdef Q_OS_WIN
inline const QString kExecutableSuffix = QStringLiteral(".exe");
inline const QString kPatchToolName = QStringLiteral("hpatchz.exe");
inline const QString kLogNameSeparator = QStringLiteral("\\");
constexpr Qt::CaseSensitivity kPathCaseSensitivity = Qt::CaseInsensitive;
#else
inline const QString kExecutableSuffix;
inline const QString kPatchToolName = QStringLiteral("hpatchz");
inline const QString kLogNameSeparator = QStringLiteral("/");
constexpr Qt::CaseSensitivity kPathCaseSensitivity = Qt::CaseSensitive;
#endif

} // namespace platform
