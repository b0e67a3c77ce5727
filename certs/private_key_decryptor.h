// Password-encrypted PKCS #8 keys: EncryptedPrivateKeyInfo under PBES2 (PBKDF2 with HMAC-SHA1 or
// HMAC-SHA256; DES-EDE3-CBC, AES-128-CBC or AES-256-CBC) or PBES1 (the PKCS #12 Triple DES
// schemes and the PKCS #5 DES schemes), decrypted to the PrivateKeyInfo DER.
#pragma once

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"

namespace tw {

// The password does not open the key: the decryption's padding is wrong or its result is no
// DER SEQUENCE. Damaged structure gives 446 or 447 instead, an algorithm not supported 1424.
constexpr int kErrKeyNotDecrypted = 500;
constexpr const char* kTextKeyNotDecrypted = "Private key is not parsed.";

// Iteration counts above this are refused (446) rather than run for minutes.
constexpr int kMaxPbeIterations = 10000000;

// The PrivateKeyInfo DER inside an EncryptedPrivateKeyInfo. Codes: 500 wrong password, 446/447
// damaged structure, 1424 unsupported algorithm, 2003 data that is no whole number of blocks,
// 2006 an IV of the wrong length, 200.
int DecryptEncryptedPkcs8(const ByteString& der, const char* password, ByteString* private_key_info);

// Decrypted and read into the key. A decryption that gives a SEQUENCE which is no key is 446.
int ReadEncryptedPkcs8PrivateKey(const ByteString& der, const char* password, KeyPair* key);

}  // namespace tw
