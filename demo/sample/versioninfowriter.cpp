#include "sample/versioninfowriter.h"

#include "common/testenv.h"

#include <QFile>
#include <QtEndian>

namespace sample {

namespace {

constexpr quint16 kBinaryType = 0;
constexpr quint16 kTextType = 1;
constexpr quint32 kFixedFileInfoSignature = 0xfeef04bd;
constexpr quint32 kFixedFileInfoStructVersion = 0x00010000;

void appendU16(QByteArray &bytes, quint16 value)
{
    char raw[2];
    qToLittleEndian(value, raw);
    bytes.append(raw, 2);
}

void appendU32(QByteArray &bytes, quint32 value)
{
    char raw[4];
    qToLittleEndian(value, raw);
    bytes.append(raw, 4);
}

void appendText(QByteArray &bytes, const QString &text)
{
    for (const QChar c : text)
        appendU16(bytes, c.unicode());
    appendU16(bytes, 0);
}

void padTo4(QByteArray &bytes)
{
    while (bytes.size() % 4 != 0)
        bytes.append('\0');
}

// One node: header, key, value and children, each child starting on a 4-byte boundary.
QByteArray node(const QString &key, quint16 type, quint16 valueLength, const QByteArray &value,
        const QList<QByteArray> &children = {})
{
    QByteArray bytes;
    appendU16(bytes, 0); // length, set below
    appendU16(bytes, valueLength);
    appendU16(bytes, type);
    appendText(bytes, key);
    if (!value.isEmpty()) {
        padTo4(bytes);
        bytes.append(value);
    }
    for (const QByteArray &child : children) {
        padTo4(bytes);
        bytes.append(child);
    }
    qToLittleEndian(quint16(bytes.size()), bytes.data());
    return bytes;
}

QByteArray fixedFileInfo()
{
    QByteArray info;
    appendU32(info, kFixedFileInfoSignature);
    appendU32(info, kFixedFileInfoStructVersion);
    while (info.size() < 52)
        appendU32(info, 0);
    return info;
}

} // namespace

QByteArray versionInfoBlock(const VersionInfoContent &content)
{
    QList<QByteArray> strings;
    for (const auto &pair : content.strings) {
        QByteArray value;
        appendText(value, pair.second);
        strings << node(pair.first, kTextType, quint16(pair.second.size() + 1), value);
    }
    const QString tableName = QStringLiteral("%1%2")
                                      .arg(content.language, 4, 16, QLatin1Char('0'))
                                      .arg(content.codePage, 4, 16, QLatin1Char('0'));
    const QByteArray table = node(tableName, kTextType, 0, QByteArray(), strings);

    QList<QByteArray> children;
    children << node(QStringLiteral("StringFileInfo"), kTextType, 0, QByteArray(), { table });
    if (content.withTranslation) {
        QByteArray translation;
        appendU16(translation, content.language);
        appendU16(translation, content.codePage);
        const QByteArray var = node(QStringLiteral("Translation"), kBinaryType, 4, translation);
        children << node(QStringLiteral("VarFileInfo"), kTextType, 0, QByteArray(), { var });
    }
    const QByteArray fixed = fixedFileInfo();
    return node(QStringLiteral("VS_VERSION_INFO"), kBinaryType, quint16(fixed.size()), fixed, children);
}

QByteArray versionInfoBlock(const QString &productVersion, quint16 language, quint16 codePage)
{
    VersionInfoContent content;
    content.strings << qMakePair(QStringLiteral("ProductVersion"), productVersion);
    content.language = language;
    content.codePage = codePage;
    return versionInfoBlock(content);
}

bool writeFileWithVersionInfo(const QString &path, const QString &productVersion, const QByteArray &leadingBytes)
{
    if (!testsupport::writeFile(path, leadingBytes + versionInfoBlock(productVersion)))
        return false;
    return QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner | QFileDevice::ExeUser);
}

} // namespace sample
