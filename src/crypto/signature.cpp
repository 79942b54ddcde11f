#include "crypto/signature.h"

#include <sodium.h>

namespace crypto {

namespace {

bool ready()
{
    // Safe to call from any thread and again; it only picks the implementations once.
    return sodium_init() >= 0;
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

} // namespace

bool available()
{
    return ready();
}

bool verify(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature)
{
    if (publicKey.size() != kPublicKeySize || signature.size() != kSignatureSize || !ready())
        return false;
    return crypto_sign_verify_detached(bytes(signature), bytes(message), quint64(message.size()), bytes(publicKey))
            == 0;
}

KeyPair generateKeyPair()
{
    if (!ready())
        return {};
    KeyPair pair{ QByteArray(kPublicKeySize, Qt::Uninitialized), QByteArray(kSecretKeySize, Qt::Uninitialized) };
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(pair.publicKey.data()),
            reinterpret_cast<unsigned char *>(pair.secretKey.data()));
    return pair;
}

QByteArray sign(const QByteArray &secretKey, const QByteArray &message)
{
    if (secretKey.size() != kSecretKeySize || !ready())
        return {};
    QByteArray signature(kSignatureSize, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr, bytes(message),
            quint64(message.size()), bytes(secretKey));
    return signature;
}

} // namespace crypto
