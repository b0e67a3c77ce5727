// Password-encrypted PKCS #8 keys: the EncryptedPrivateKeyInfo decryption of the PFX layer
// (PBES2, PBES1 and the PKCS #12 schemes), with a wrong password told apart from damage.
#pragma once

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"

namespace tw {

// The password does not open the key: the decryption's padding is wrong or its result is no
// DER SEQUENCE. Damaged structure gives 446 or 447 instead, an algorithm not supported 1424.
constexpr int kErrKeyNotDecrypted = 500;
constexpr const char* kTextKeyNotDecrypted = "Private key is not parsed.";

// The PrivateKeyInfo DER inside an EncryptedPrivateKeyInfo. Codes: 500 wrong password, 446/447
// damaged structure, 1424 an unsupported algorithm or parameters out of range (an IV of the wrong
// length, too many iterations), 2003 data that is no whole number of blocks, 200.
int DecryptEncryptedPkcs8(const ByteString& der, const char* password, ByteString* private_key_info);

// Decrypted and read into the key. A decryption that gives a SEQUENCE which is no key is 446.
int ReadEncryptedPkcs8PrivateKey(const ByteString& der, const char* password, KeyPair* key);

}  // namespace tw
