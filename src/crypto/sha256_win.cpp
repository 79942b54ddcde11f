#include "crypto/sha256.h"

#include <windows.h>

#include <bcrypt.h>

namespace crypto {

namespace {

constexpr ULONG kHashSize = 32;

} // namespace

struct Sha256::Context
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;

    Context()
    {
        // A reusable object, so that reset() needs no new handle; result() finishes a duplicate.
        ok = BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_HASH_REUSABLE_FLAG));
    }
    ~Context()
    {
        closeHash();
        if (algorithm)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    void closeHash()
    {
        if (hash)
            BCryptDestroyHash(hash);
        hash = nullptr;
    }
};

Sha256::Sha256()
    : m_context(std::make_unique<Context>())
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    Context &c = *m_context;
    c.closeHash();
    c.ok = c.algorithm && BCRYPT_SUCCESS(BCryptCreateHash(c.algorithm, &c.hash, nullptr, 0, nullptr, 0, 0));
}

void Sha256::addData(const QByteArray &data)
{
    Context &c = *m_context;
    const char *bytes = data.constData();
    qint64 left = data.size();
    while (c.ok && left > 0) {
        const ULONG chunk = ULONG(qMin<qint64>(left, 1 << 30));
        c.ok = BCRYPT_SUCCESS(BCryptHashData(c.hash, reinterpret_cast<PUCHAR>(const_cast<char *>(bytes)), chunk, 0));
        bytes += chunk;
        left -= chunk;
    }
}

QByteArray Sha256::result() const
{
    const Context &c = *m_context;
    if (!c.ok)
        return {};
    // Finishing a duplicate leaves the running hash as it is.
    BCRYPT_HASH_HANDLE copy = nullptr;
    if (!BCRYPT_SUCCESS(BCryptDuplicateHash(c.hash, &copy, nullptr, 0, 0)))
        return {};
    QByteArray out(int(kHashSize), Qt::Uninitialized);
    const bool done = BCRYPT_SUCCESS(BCryptFinishHash(copy, reinterpret_cast<PUCHAR>(out.data()), kHashSize, 0));
    BCryptDestroyHash(copy);
    return done ? out : QByteArray();
}

} // namespace crypto
