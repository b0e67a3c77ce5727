// The PuTTY private key file ("PuTTY-User-Key-File-<n>: ..."), read into a KeyPair. Read only.
#pragma once

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrPuttyKeyData = 280;  // the key cannot be read
constexpr int kErrNotPuttyKey = 1424;  // the text is no PuTTY key file
constexpr const char* kTextPuttyWrongPassword = "Error decoding key: The specified password is not correct.";
constexpr const char* kTextPuttyKeyDerivation = "Error decoding key: The key derivation is not supported.";

// Keys "ssh-rsa", "ssh-dss", "ecdsa-sha2-nistp256/384/521", "ssh-ed25519" and "ssh-ed448",
// with encryption "none" or "aes256-cbc" (the SHA-1 key derivation of version 2 files). 0;
// 1424 when the text does not start with "PuTTY-User-Key-File-"; 280 for anything else, with
// error_text (optional) set to kTextPuttyWrongPassword when the key fields cannot be read and
// to kTextPuttyKeyDerivation when the file derives its key in another way. The key is replaced
// only on success.
int ReadPuttyPrivateKey(KeyPair* key, const char* text, int length, const char* password, ByteString* error_text);

}  // namespace tw
