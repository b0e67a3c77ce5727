// The SSH2 private key text ("---- BEGIN SSH2 ENCRYPTED PRIVATE KEY ----"): its Base64 body
// read into a KeyPair, decrypted with the password when the key is under "3des-cbc".
#pragma once

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrSsh2KeyData = 280;  // the body cannot be read as such a key

// RSA ("if-modn{sign{rsa" ...) and DSA ("dl-modp{sign{dsa" ...) keys under the ciphers "none"
// and "3des-cbc". 0; 280 for data that cannot be read or a key kind or cipher not supported; 500
// (kErrKeyNotDecrypted) when the password does not open an encrypted key. The key is replaced
// only on success.
int ReadSsh2PrivateKey(const ByteString& body, const char* password, KeyPair* key);

}  // namespace tw
