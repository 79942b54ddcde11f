#include "app/updateinfomanager.h"

#include "app/constants.h"
#include "crypto/signature.h"
#include "log/log.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QVersionNumber>

#include <algorithm>
#include <cmath>

namespace app {

namespace {

// Whether the signature file beside the description holds a valid signature of bytes.
bool signatureValid(const QByteArray &bytes, const QString &signaturePath, const QByteArray &publicKey)
{
    QFile file(signaturePath);
    if (!file.open(QIODevice::ReadOnly)) {
        applog::critical(QStringLiteral("update description signature missing, path:%1").arg(signaturePath));
        return false;
    }
    const QByteArray signature = crypto::fromStrictBase64(file.read(1024).trimmed());
    if (signature.size() != crypto::kSignatureSize) {
        applog::critical(QStringLiteral("update description signature malformed, path:%1").arg(signaturePath));
        return false;
    }
    if (!crypto::verify(publicKey, bytes, signature)) {
        applog::critical(QStringLiteral("update description signature invalid, path:%1").arg(signaturePath));
        return false;
    }
    applog::info(QStringLiteral("update description signature verified, path:%1").arg(signaturePath));
    return true;
}

// A signed description that is past its "expires" may be one an attacker keeps serving to hold
// clients back on a version with a known hole.
bool expired(const QJsonObject &root)
{
    if (!root.contains(kDocExpires))
        return false;
    const QString text = root.value(kDocExpires).toString();
    const QDateTime expires = QDateTime::fromString(text, Qt::ISODate);
    // Without a zone the moment would depend on the client's clock setting.
    if (!expires.isValid() || expires.timeSpec() == Qt::LocalTime) {
        applog::critical(QStringLiteral("update description expires is invalid, expires:%1").arg(text));
        return true;
    }
    if (QDateTime::currentDateTimeUtc() < expires)
        return false;
    applog::critical(QStringLiteral("update description expired, expires:%1").arg(text));
    return true;
}

// Reads a package entry's optional size and SHA-256; false when one is there but malformed, or
// when required and missing.
bool readIntegrity(const QJsonObject &entry, bool required, UpdateInfoManager::PackageInfo *info)
{
    if (required && (!entry.contains(kDocSize) || !entry.contains(kDocSha256)))
        return false;
    if (entry.contains(kDocSize)) {
        const QJsonValue value = entry.value(kDocSize);
        const double size = value.toDouble(-1);
        // Beyond 2^53 a JSON number no longer holds every integer.
        if (!value.isDouble() || size < 0 || size > 9007199254740992.0 || size != std::floor(size))
            return false;
        info->size = qint64(size);
    }
    if (entry.contains(kDocSha256)) {
        static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
        const QString text = entry.value(kDocSha256).toString();
        if (!hex.match(text).hasMatch())
            return false;
        info->sha256 = QByteArray::fromHex(text.toLatin1());
    }
    return true;
}

} // namespace

UpdateInfoManager::UpdateInfoManager() = default;

bool UpdateInfoManager::parseUpdateInfo(
        const QString &path, const QString &installedVersion, const QByteArray &publicKey)
{
    // Nothing of an earlier description survives into this one, and a refused one leaves nothing.
    UpdateInfoManager parsed;
    const bool accepted = parsed.parse(path, installedVersion, publicKey);
    *this = accepted ? parsed : UpdateInfoManager();
    return accepted;
}

bool UpdateInfoManager::parse(const QString &path, const QString &installedVersion, const QByteArray &publicKey)
{
    if (!QFileInfo(path).isFile()) {
        applog::critical(QStringLiteral("update config path is invalid"));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        applog::critical(QStringLiteral("open config file failed"));
        return false;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    // The whole document goes into every message about it, so the log holds what was received.
    const QString text = QString::fromUtf8(bytes);
    applog::info(QStringLiteral("updateinfo config, content:%1").arg(text));
    // Nothing of a signed description is believed before its signature is.
    const bool signedMode = !publicKey.isEmpty();
    if (signedMode && !signatureValid(bytes, path + kSignatureSuffix, publicKey))
        return false;

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        applog::critical(QStringLiteral("parse json config failed, error:%1").arg(parseError.errorString()));
        return false;
    }
    if (!doc.isObject()) {
        applog::critical(QStringLiteral("config is not json object, content:%1").arg(text));
        return false;
    }
    const QJsonObject root = doc.object();
    if (signedMode && expired(root))
        return false;
    if (!root.contains(kDocStrategy) || !root.contains(kDocConfig)) {
        applog::critical(QStringLiteral("doc is invalid, content:%1").arg(text));
        return false;
    }

    const QJsonObject strategy = root.value(kDocStrategy).toObject();
    if (!strategy.contains(kDocForce)) {
        applog::critical(QStringLiteral("strategy is invalid, content:%1").arg(text));
        return false;
    }
    m_force = strategy.value(kDocForce).toBool(false);

    const QJsonObject config = root.value(kDocConfig).toObject();
    for (const QString &key : { kDocName, kDocVersion, kDocContent, kDocTitle, kDocPackage }) {
        if (!config.contains(key)) {
            applog::critical(QStringLiteral("config is invalid, content:%1").arg(text));
            return false;
        }
    }
    if (config.contains(kDocProductUrl))
        m_productUrl = config.value(kDocProductUrl).toString();
    m_name = config.value(kDocName).toString();
    m_version = config.value(kDocVersion).toString();
    m_title = config.value(kDocTitle).toString();

    if (versionOverflows(m_version)) {
        applog::critical(QStringLiteral("target version is invalid, version:%1").arg(m_version));
        return false;
    }
    if (compareVersion(installedVersion, m_version) >= 0) {
        applog::critical(QStringLiteral("current version is equal or greater than target version! current version: "
                                        "%1, target version: %2")
                                 .arg(installedVersion, m_version));
        return false;
    }

    const QJsonObject content = config.value(kDocContent).toObject();
    if (!content.contains(kLangEn) || !content.contains(kLangCn)) {
        applog::critical(QStringLiteral("display content is invalid, content:%1").arg(text));
        return false;
    }
    m_content.insert(kLangCn, content.value(kLangCn).toString());
    m_content.insert(kLangEn, content.value(kLangEn).toString());

    // A signature only vouches for a package through the size and hash it names.
    const QString integrityInvalid = QStringLiteral("config package size or sha256 is invalid, content:%1").arg(text);
    const QJsonObject package = config.value(kDocPackage).toObject();
    const QJsonValue upgradePackages = package.value(kDocUpgradePackages);
    if (upgradePackages.isArray()) {
        const QJsonArray elements = upgradePackages.toArray();
        for (const QJsonValue &value : elements) {
            const QJsonObject element = value.toObject();
            if (!element.contains(kDocDownloadUrl) || !element.contains(kDocVersionRequired)) {
                applog::critical(QStringLiteral("config upgradepackages is invalid, content:%1").arg(text));
                return false;
            }
            auto info = std::make_shared<PackageInfo>();
            info->downloadUrl = element.value(kDocDownloadUrl).toString();
            info->versionRequired = element.value(kDocVersionRequired).toString();
            if (!readIntegrity(element, signedMode, info.get())) {
                applog::critical(integrityInvalid);
                return false;
            }
            m_upgradePackages.insert(info->versionRequired, info);
        }
    }

    if (!package.contains(kDocFullPackage)) {
        applog::critical(QStringLiteral("config doesn't have fullpackage, content:%1").arg(text));
        return false;
    }
    const QJsonObject fullPackage = package.value(kDocFullPackage).toObject();
    if (!fullPackage.contains(kDocDownloadUrl)) {
        applog::critical(QStringLiteral("config upgradepackage is invalid, content:%1").arg(text));
        return false;
    }
    m_fullPackage = std::make_shared<PackageInfo>();
    m_fullPackage->downloadUrl = fullPackage.value(kDocDownloadUrl).toString();
    if (!readIntegrity(fullPackage, signedMode, m_fullPackage.get())) {
        applog::critical(integrityInvalid);
        return false;
    }
    return true;
}

QString UpdateInfoManager::displayContent(const QString &language) const
{
    if (language != kLangCn && language != kLangEn) {
        applog::critical(
                QStringLiteral("updateinfo manager display content language is invalid, language:%1").arg(language));
        return QString();
    }
    return m_content.value(language);
}

UpdateInfoManager::PackageInfoPtr UpdateInfoManager::upgradePackage(const QString &requiredVersion) const
{
    return m_upgradePackages.value(requiredVersion);
}

int compareVersion(const QString &a, const QString &b)
{
    return QVersionNumber::compare(QVersionNumber::fromString(a), QVersionNumber::fromString(b));
}

bool isValidVersionShape(const QString &version)
{
    const int segments = QVersionNumber::fromString(version).segmentCount();
    return segments == 3 || segments == 4 ? !versionOverflows(version) : false;
}

bool versionOverflows(const QString &version)
{
    // The number reader stops at a segment too large for it, and the rest of the version is lost.
    static const QRegularExpression numbers(QStringLiteral("^\\d+(\\.\\d+)*"));
    const QStringList segments = numbers.match(version).captured(0).split(QLatin1Char('.'), Qt::SkipEmptyParts);
    return std::any_of(segments.cbegin(), segments.cend(), [](const QString &segment) {
        bool ok = false;
        segment.toInt(&ok);
        return !ok;
    });
}

} // namespace app
