#pragma once

#include <QMap>
#include <QString>

#include <memory>

namespace app {

// The update description of this run: the target version, whether it is forced, the text shown to
// the user per language, and the packages that lead to the target version.
class UpdateInfoManager
{
public:
    // One package: where to download it and, for an incremental one, the installed version it
    // applies to (empty for the full package). When the description names them, the size in bytes
    // and the SHA-256 (32 bytes) the downloaded file must have; -1 and empty when it does not.
    struct PackageInfo
    {
        QString downloadUrl;
        QString versionRequired;
        qint64 size = -1;
        QByteArray sha256;
    };
    using PackageInfoPtr = std::shared_ptr<PackageInfo>;

    UpdateInfoManager();

    // Reads and validates the document at path against the installed product version. True only
    // when every check passed, that is when the document is valid and offers a newer version.
    // With a publicKey (32 bytes), the document must first carry a valid signature in the file beside
    // it (path plus ".sig"), must not have expired, and every package must name its size and
    // SHA-256. Each failure logs one critical line.
    bool parseUpdateInfo(const QString &path, const QString &installedVersion, const QByteArray &publicKey = {});

    // The text for "cn" or "en"; empty (and a critical line) for any other code.
    QString displayContent(const QString &language) const;

    bool isForce() const { return m_force; }
    QString targetVersion() const { return m_version; }
    QString productUrl() const { return m_productUrl; }
    QString name() const { return m_name; }
    QString title() const { return m_title; }

    // The incremental package published for exactly this installed version (compared as text);
    // null when there is none.
    PackageInfoPtr upgradePackage(const QString &requiredVersion) const;
    // Null until a document with a full package has been parsed.
    PackageInfoPtr fullPackage() const { return m_fullPackage; }

private:
    bool parse(const QString &path, const QString &installedVersion, const QByteArray &publicKey);

    QString m_name;
    QString m_productUrl;
    QString m_version;
    QMap<QString, QString> m_content;
    QString m_title;
    bool m_force = false;
    QMap<QString, PackageInfoPtr> m_upgradePackages;
    PackageInfoPtr m_fullPackage;
};

// The one version comparison of the system: negative when a is lower than b, zero when equal,
// positive when higher. Versions are read with QVersionNumber::fromString, so trailing text is
// ignored, 2.1.0 is higher than 2.1, and a text without numbers is lower than any version.
int compareVersion(const QString &a, const QString &b);

// Whether a numeric segment of version is too large to be read as a number.
bool versionOverflows(const QString &version);
// Whether a product or target version is usable: it reads (as above) as 3 or 4 numbers, none of
// them too large.
bool isValidVersionShape(const QString &version);

} // namespace app
