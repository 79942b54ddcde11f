#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// A portable reader of Windows version resources (VS_VERSIONINFO), for platforms without
// version.dll. Every offset read from the data is checked, so any bytes give a result or an
// empty string, never a crash.
namespace utility {

// The value of key in the string table of the first translation listed in one VS_VERSIONINFO
// block (block starts at the block's length word). Empty when the block is malformed, has no
// translation list, or its table has no such key.
QString versionInfoString(const QByteArray &block, const QString &key);

// The "ProductVersion" of a file's content: from the version resource of a PE image, or, for
// anything else, from the first VS_VERSIONINFO block found anywhere in it. device must be open
// and random-access; empty when no version can be read.
QString productVersionFromDevice(QIODevice &device);

} // namespace utility
