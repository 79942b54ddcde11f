#pragma once

#include <QString>

// Fixed texts of the platform utilities.
namespace utility {

// File functions: the suffix of backup copies and staged copies (compared case-sensitively),
// and the name given to a target that could not be removed: "<name>.old.<local time>".
inline const QString kBackupSuffix = QStringLiteral(".backup");
inline const QString kOldInfix = QStringLiteral(".old.");
inline const QString kOldStampFormat = QStringLiteral("yyyyMMddhhmmss");
// Path pieces that find the public desktop beside a user's desktop.
inline const QString kUsersPiece = QStringLiteral("/Users/");
inline const QString kPublicDesktopPiece = QStringLiteral("/Users/Public/Desktop/");

// Version resources: the string read as the product version, and the keys of the blocks that
// lead to it (the Win32 reader spells the paths "\VarFileInfo\Translation" and
// "\StringFileInfo\<language and code page>\<key>").
inline const QString kProductVersionKey = QStringLiteral("ProductVersion");
inline const QString kVersionInfoKey = QStringLiteral("VS_VERSION_INFO");
inline const QString kStringFileInfoKey = QStringLiteral("StringFileInfo");
inline const QString kVarFileInfoKey = QStringLiteral("VarFileInfo");
inline const QString kTranslationKey = QStringLiteral("Translation");

} // namespace utility
