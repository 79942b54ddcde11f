#pragma once

#include <QByteArray>

#include <memory>

namespace crypto {

// SHA-256 over data that arrives in pieces. Backed by OpenSSL, which uses the processor's SHA
// instructions where it has them: a package is hashed while it downloads, and a hash slower than
// the network would slow the download down.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // Starts again with no data.
    void reset();
    void addData(const QByteArray &data);
    // The 32-byte hash of the data added since the last reset; empty if the library failed.
    QByteArray result() const;

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

} // namespace crypto
