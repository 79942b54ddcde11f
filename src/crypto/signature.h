#pragma once

#include <QByteArray>

// The updater's one door to public-key cryptography: Ed25519 signatures over whole files. Keys and
// signatures travel as raw bytes here; files and settings carry them as Base64.
namespace crypto {

constexpr int kPublicKeySize = 32;
constexpr int kSecretKeySize = 64;
constexpr int kSignatureSize = 64;

struct KeyPair
{
    QByteArray publicKey;
    QByteArray secretKey;
};

// Whether signatures can be checked at all in this build and on this machine.
bool available();

// Whether signature is a valid signature of message under publicKey. False for keys or signatures
// of the wrong size, and when the library cannot be started.
bool verify(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature);

// A new random key pair; both empty when the library cannot be started.
KeyPair generateKeyPair();

// The signature of message under secretKey; empty for a key of the wrong size.
QByteArray sign(const QByteArray &secretKey, const QByteArray &message);

// The bytes of text as standard Base64 (padding required, no other characters); empty when text
// is not that.
QByteArray fromStrictBase64(const QByteArray &text);

} // namespace crypto
