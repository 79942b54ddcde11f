#include "crypto/signature.h"

namespace crypto {

QByteArray fromStrictBase64(const QByteArray &text)
{
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
            text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    // Qt accepts missing padding; a signature or key is written out whole.
    if (!decoded || text.size() % 4 != 0)
        return {};
    return decoded.decoded;
}

} // namespace crypto
