#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The sample installation in two versions, the packages between them and the update description
// that offers them. Both versions hold changed, added, removed and unchanged files in nested
// directories, names with blanks and Chinese, an executable script, a read-only file, a link to
// a file and a link to a directory; the old version has one more link.
namespace sample {

inline const QString kSampleOldVersion = QStringLiteral("1.0.0.0");
inline const QString kSampleNewVersion = QStringLiteral("1.1.0.0");
// The client's file name inside the trees: the name the master carries on Windows.
inline const QString kSampleClientName = QStringLiteral("Client.exe");
// A file whose old content the incremental package reads (a delta against it).
inline const QString kSampleDeltaFile = QStringLiteral("lib/core.dll");
// A file that exists in the old version only.
inline const QString kSampleRemovedFile = QStringLiteral("lib/old plugin.dll");

// Writes the tree of version kSampleOldVersion or kSampleNewVersion into dir (created; must not
// hold other files). The client is the sample client with a version-info block for the version.
// False with error set for another version or a write failure.
bool writeVersionTree(const QString &dir, const QString &version, QString *error = nullptr);

// Makes a package with the package maker: from oldDir to newDir, or a full one of newDir.
bool makeIncrementalPackage(
        const QString &oldDir, const QString &newDir, const QString &package, QString *error = nullptr);
bool makeFullPackage(const QString &newDir, const QString &package, QString *error = nullptr);

// Flips bytes in the middle of a package so the patch tool refuses it (its head stays readable).
bool corruptPackage(const QString &package);

struct UpdateDocument
{
    QString version = kSampleNewVersion;
    bool force = false;
    QString productUrl;
    QString fullUrl;
    // (download_url, version_required) of each incremental package.
    QList<QPair<QString, QString>> incrementals;
};

// The update description document as the server publishes it.
QByteArray updateDocument(const UpdateDocument &document);

} // namespace sample
