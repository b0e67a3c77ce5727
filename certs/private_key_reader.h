// Private and public keys in their DER forms: PKCS #8 PrivateKeyInfo, PKCS #1 RSAPrivateKey,
// the DSA private key sequence and SEC 1 ECPrivateKey, read into a KeyPair with the public part
// completed; the bare RSA and DSA public key sequences; and every key block of a PEM text, by its
// label, decrypted first when it is encrypted.
#pragma once

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"

namespace tw {

// 0, 446 for a malformed or unknown key, 200.
int ReadPkcs8PrivateKey(const ByteString& der, KeyPair* key);
int ReadRsaPrivateKey(const ByteString& der, KeyPair* key);
// curve_id: the curve named outside the record (PKCS #8), or kCurveNone.
int ReadEcPrivateKey(const ByteString& der, int curve_id, KeyPair* key);

// By PEM label: "PRIVATE KEY", "RSA PRIVATE KEY", "DSA PRIVATE KEY" (SEQUENCE { 0, p, q, g, y,
// x }) or "EC PRIVATE KEY"; 446 for any other.
int ReadPrivateKeyByLabel(const char* label, const ByteString& der, KeyPair* key);

// One block of ReadPemBlocks by its label (compared exactly): "PRIVATE KEY",
// "ENCRYPTED PRIVATE KEY" (with the password), "RSA PRIVATE KEY", "DSA PRIVATE KEY" and
// "EC PRIVATE KEY" (decrypted first when the headers carry "DEK-Info"), "PUBLIC KEY",
// "RSA PUBLIC KEY" (SEQUENCE { n, e }), "DSA PUBLIC KEY" (SEQUENCE { p, q, g, y }),
// "SSH2 ENCRYPTED PRIVATE KEY", "OPENSSH PRIVATE KEY" (both with the password) and
// "SSH2 PUBLIC KEY". The key is replaced only on success. Codes: 1424 another label; 500 a
// password that does not open the key; 2001 a DEK-Info cipher not supported, 2006 its IV not one
// block; 446/447 damaged content; and those of the encrypted and SSH readers (280).
int ReadPemKeyBlock(const char* label, const char* headers, const ByteString& body, const char* password,
                    KeyPair* key);

// Whether the public parts of two keys are the same key.
bool SamePublicKey(const KeyPair& a, const KeyPair& b);

}  // namespace tw
