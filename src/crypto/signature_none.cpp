#include "crypto/signature.h"

// For a build without libsodium: nothing verifies, so nothing unchecked gets through.
namespace crypto {

bool available()
{
    return false;
}

bool verify(const QByteArray &, const QByteArray &, const QByteArray &)
{
    return false;
}

KeyPair generateKeyPair()
{
    return {};
}

QByteArray sign(const QByteArray &, const QByteArray &)
{
    return {};
}

} // namespace crypto
