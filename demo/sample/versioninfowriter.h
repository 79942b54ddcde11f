#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Writes Windows version-info blocks (VS_VERSIONINFO) as a resource compiler lays them out, so
// tests can give any file, such as a stand-in for the master's executable, a product version.
namespace sample {

struct VersionInfoContent
{
    // Key and value pairs of the one string table, in this order.
    QList<QPair<QString, QString>> strings;
    quint16 language = 0x0409;
    quint16 codePage = 1200;
    // Without it the block has no "\VarFileInfo\Translation" list.
    bool withTranslation = true;
};

QByteArray versionInfoBlock(const VersionInfoContent &content);

// A block whose string table holds only "ProductVersion".
QByteArray versionInfoBlock(const QString &productVersion, quint16 language = 0x0409, quint16 codePage = 1200);

// Writes leadingBytes followed by a block carrying productVersion to path (parents created) and
// makes the file executable by its owner. By default the leading bytes are an ELF-like head of odd
// length, so the block sits at an unaligned offset as it may in a real binary.
bool writeFileWithVersionInfo(const QString &path, const QString &productVersion,
        const QByteArray &leadingBytes = QByteArray("\x7f"
                                                    "ELF\x02\x01\x01 fake client",
                23));

} // namespace sample
