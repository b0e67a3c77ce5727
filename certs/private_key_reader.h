// Unencrypted private keys in their DER forms: PKCS #8 PrivateKeyInfo, PKCS #1 RSAPrivateKey and
// SEC 1 ECPrivateKey, read into a KeyPair with the public part completed.
#pragma once

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"

namespace tw {

// 0, 446 for a malformed or unknown key, 200.
int ReadPkcs8PrivateKey(const ByteString& der, KeyPair* key);
int ReadRsaPrivateKey(const ByteString& der, KeyPair* key);
// curve_id: the curve named outside the record (PKCS #8), or kCurveNone.
int ReadEcPrivateKey(const ByteString& der, int curve_id, KeyPair* key);

// By PEM label: "PRIVATE KEY", "RSA PRIVATE KEY" or "EC PRIVATE KEY"; 446 for any other.
int ReadPrivateKeyByLabel(const char* label, const ByteString& der, KeyPair* key);

// Whether the public parts of two keys are the same key.
bool SamePublicKey(const KeyPair& a, const KeyPair& b);

}  // namespace tw
