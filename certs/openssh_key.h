// The "openssh-key-v1" private key (the body inside "OPENSSH PRIVATE KEY" armour, Base64 already
// removed), read into a KeyPair. Read only: the library writes no such files.
#pragma once

#include "crypto/pubkey/key_pair.h"

namespace tw {

constexpr int kErrOpenSshKeyData = 280;  // the data cannot be read, or the password is wrong

// Keys "ssh-rsa", "ssh-dss", "ecdsa-sha2-nistp256/384/521", "ssh-ed25519" and "ssh-ed448",
// unencrypted or under bcrypt with aes128/192/256 in CBC or CTR mode. The Edwards keys carry
// their comment as the parameter "Comment". 0; 280 for data that cannot be read, a wrong
// password, an unknown key type or cipher. The key is replaced only on success.
int ReadOpenSshPrivateKey(KeyPair* key, const void* body, int length, const char* password);

}  // namespace tw
