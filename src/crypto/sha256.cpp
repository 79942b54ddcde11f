#include "crypto/sha256.h"

#include <openssl/evp.h>

namespace crypto {

struct Sha256::Context
{
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    bool ok = false;
    ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256()
    : m_context(std::make_unique<Context>())
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    m_context->ok = m_context->md && EVP_DigestInit_ex(m_context->md, EVP_sha256(), nullptr) == 1;
}

void Sha256::addData(const QByteArray &data)
{
    if (m_context->ok)
        m_context->ok = EVP_DigestUpdate(m_context->md, data.constData(), size_t(data.size())) == 1;
}

QByteArray Sha256::result() const
{
    if (!m_context->ok)
        return {};
    // Finishing a copy leaves the running hash as it is.
    Context copy;
    QByteArray hash(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    if (!copy.md || EVP_MD_CTX_copy_ex(copy.md, m_context->md) != 1
            || EVP_DigestFinal_ex(copy.md, reinterpret_cast<unsigned char *>(hash.data()), &size) != 1)
        return {};
    hash.resize(int(size));
    return hash;
}

} // namespace crypto
