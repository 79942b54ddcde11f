#include "app/updateinfomanager.h"

#include "app/constants.h"
#include "log/log.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QVersionNumber>

#include <algorithm>

namespace app {

UpdateInfoManager::UpdateInfoManager() = default;

bool UpdateInfoManager::parseUpdateInfo(const QString &path, const QString &installedVersion)
{
    // Nothing of an earlier description survives into this one, and a refused one leaves nothing.
    UpdateInfoManager parsed;
    const bool accepted = parsed.parse(path, installedVersion);
    *this = accepted ? parsed : UpdateInfoManager();
    return accepted;
}

bool UpdateInfoManager::parse(const QString &path, const QString &installedVersion)
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
