#include "releasedescription.h"

#include "crypto/sha256.h"
#include "crypto/signature.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace release {

namespace {

bool fillEntry(QJsonObject *entry, const QString &packageDir, QString *error)
{
    const QString name = QUrl(entry->value(QStringLiteral("download_url")).toString()).fileName();
    if (name.isEmpty()) {
        *error = QStringLiteral("a package entry has no download_url with a file name");
        return false;
    }
    qint64 size = 0;
    QByteArray sha256;
    if (!hashFile(QDir(packageDir).filePath(name), &size, &sha256, error))
        return false;
    entry->insert(QStringLiteral("size"), double(size));
    entry->insert(QStringLiteral("sha256"), QString::fromLatin1(sha256.toHex()));
    return true;
}

} // namespace

bool hashFile(const QString &path, qint64 *size, QByteArray *sha256, QString *error)
{
    QFile file(path);
    crypto::Sha256 hash;
    bool readable = file.open(QIODevice::ReadOnly);
    while (readable && !file.atEnd()) {
        const QByteArray block = file.read(1024 * 1024);
        readable = !block.isEmpty();
        hash.addData(block);
    }
    *sha256 = hash.result();
    if (!readable || sha256->isEmpty()) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *size = file.size();
    return true;
}

bool fillPackageHashes(QByteArray *document, const QString &packageDir, QString *error)
{
    QJsonParseError parseError;
    QJsonObject root = QJsonDocument::fromJson(*document, &parseError).object();
    QJsonObject config = root.value(QStringLiteral("config")).toObject();
    QJsonObject package = config.value(QStringLiteral("package")).toObject();
    if (!package.contains(QStringLiteral("full_package"))) {
        *error = parseError.error != QJsonParseError::NoError
                ? parseError.errorString()
                : QStringLiteral("not an update description: config.package.full_package is missing");
        return false;
    }
    QJsonArray incrementals = package.value(QStringLiteral("upgrade_packages")).toArray();
    for (QJsonValueRef value : incrementals) {
        QJsonObject entry = value.toObject();
        if (!fillEntry(&entry, packageDir, error))
            return false;
        value = entry;
    }
    QJsonObject full = package.value(QStringLiteral("full_package")).toObject();
    if (!fillEntry(&full, packageDir, error))
        return false;
    if (package.value(QStringLiteral("upgrade_packages")).isArray())
        package.insert(QStringLiteral("upgrade_packages"), incrementals);
    package.insert(QStringLiteral("full_package"), full);
    config.insert(QStringLiteral("package"), package);
    root.insert(QStringLiteral("config"), config);
    *document = QJsonDocument(root).toJson();
    return true;
}

QByteArray signatureFile(const QByteArray &secretKey, const QByteArray &document)
{
    const QByteArray signature = crypto::sign(secretKey, document);
    return signature.isEmpty() ? QByteArray() : signature.toBase64() + '\n';
}

} // namespace release
