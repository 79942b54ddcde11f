#pragma once

#include <QByteArray>
#include <QString>

// What a vendor does to an update description before publishing it: name each package's size and
// SHA-256, and sign the result. Shared by the release tool and the tests that publish releases.
namespace release {

// The size in bytes and the SHA-256 (32 bytes) of the file at path, read in pieces; false with
// error set when it cannot be read.
bool hashFile(const QString &path, qint64 *size, QByteArray *sha256, QString *error);

// Writes "size" and "sha256" into every package entry of the description (the incremental
// packages and the full package), taken from the file in packageDir named like the last part of
// the entry's download_url. False with error set, and document unchanged, when the document is not
// a description or a package file is missing.
bool fillPackageHashes(QByteArray *document, const QString &packageDir, QString *error);

// The Base64 text of the signature of document under secretKey (64 bytes), as the ".sig" file
// beside the description holds it; empty for a key of the wrong size.
QByteArray signatureFile(const QByteArray &secretKey, const QByteArray &document);

} // namespace release
