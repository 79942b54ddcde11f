// solrelease: what a vendor runs to publish a signed release of the client.
//
//   solrelease keygen <secret-key-file>          new key pair; prints the PublicKey for solupdate.ini
//   solrelease hash <description> <package-dir>  fills in size and sha256 of every package entry
//   solrelease sign <secret-key-file> <description>      writes <description>.sig
//   solrelease verify <public-key> <description>         checks <description>.sig (key as Base64)
//
// Exit status: 0 done, 1 the operation failed (a bad signature included), 2 wrong usage.

#include "crypto/signature.h"
#include "releasedescription.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
const QString kSignatureSuffix = QStringLiteral(".sig");

int fail(const QString &message)
{
    std::fprintf(stderr, "solrelease: %s\n", qPrintable(message));
    return kFailed;
}

bool readFile(const QString &path, QByteArray *content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *content = file.readAll();
    return true;
}

// Written whole or not at all, so a failed run never leaves half a description or key behind.
bool writeFile(const QString &path, const QByteArray &content, bool secret = false)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (secret)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return file.write(content) == content.size() && file.commit();
}

int keygen(const QString &secretPath)
{
    const crypto::KeyPair pair = crypto::generateKeyPair();
    if (pair.secretKey.isEmpty())
        return fail(QStringLiteral("cannot create a key pair"));
    if (QFile::exists(secretPath))
        return fail(QStringLiteral("%1 exists; a release key is never overwritten").arg(secretPath));
    const QByteArray publicKey = pair.publicKey.toBase64();
    if (!writeFile(secretPath, pair.secretKey.toBase64() + '\n', true)
            || !writeFile(secretPath + ".pub", publicKey + '\n'))
        return fail(QStringLiteral("cannot write %1").arg(secretPath));
    std::printf("PublicKey=%s\n", publicKey.constData());
    return 0;
}

int hash(const QString &descriptionPath, const QString &packageDir)
{
    QByteArray document;
    QString error;
    if (!readFile(descriptionPath, &document))
        return fail(QStringLiteral("cannot read %1").arg(descriptionPath));
    if (!release::fillPackageHashes(&document, packageDir, &error))
        return fail(error);
    if (!writeFile(descriptionPath, document))
        return fail(QStringLiteral("cannot write %1").arg(descriptionPath));
    return 0;
}

int sign(const QString &secretPath, const QString &descriptionPath)
{
    QByteArray secretText;
    QByteArray document;
    if (!readFile(secretPath, &secretText) || !readFile(descriptionPath, &document))
        return fail(QStringLiteral("cannot read %1 or %2").arg(secretPath, descriptionPath));
    const QByteArray signature = release::signatureFile(crypto::fromStrictBase64(secretText.trimmed()), document);
    if (signature.isEmpty())
        return fail(QStringLiteral("%1 is not a secret key").arg(secretPath));
    if (!writeFile(descriptionPath + kSignatureSuffix, signature))
        return fail(QStringLiteral("cannot write %1").arg(descriptionPath + kSignatureSuffix));
    return 0;
}

int verify(const QString &publicKeyText, const QString &descriptionPath)
{
    QByteArray document;
    QByteArray signatureText;
    if (!readFile(descriptionPath, &document) || !readFile(descriptionPath + kSignatureSuffix, &signatureText))
        return fail(QStringLiteral("cannot read %1 or its %2").arg(descriptionPath, kSignatureSuffix));
    const QByteArray publicKey = crypto::fromStrictBase64(publicKeyText.trimmed().toLatin1());
    if (publicKey.size() != crypto::kPublicKeySize)
        return fail(QStringLiteral("the public key is not the Base64 of %1 bytes").arg(crypto::kPublicKeySize));
    if (!crypto::verify(publicKey, document, crypto::fromStrictBase64(signatureText.trimmed())))
        return fail(QStringLiteral("signature invalid: %1").arg(descriptionPath));
    std::printf("signature verified: %s\n", qPrintable(descriptionPath));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    const QString command = args.value(0);
    if (command == QLatin1String("keygen") && args.size() == 2)
        return keygen(args.at(1));
    if (command == QLatin1String("hash") && args.size() == 3)
        return hash(args.at(1), args.at(2));
    if (command == QLatin1String("sign") && args.size() == 3)
        return sign(args.at(1), args.at(2));
    if (command == QLatin1String("verify") && args.size() == 3)
        return verify(args.at(1), args.at(2));
    std::fprintf(stderr,
            "usage: solrelease keygen <secret-key-file>\n"
            "       solrelease hash <description> <package-dir>\n"
            "       solrelease sign <secret-key-file> <description>\n"
            "       solrelease verify <public-key-base64> <description>\n");
    return kUsage;
}
