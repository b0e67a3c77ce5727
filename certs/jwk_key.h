// A JSON Web Key (RSA, EC P-256/384/521, OKP Ed25519/Ed448/X25519/X448) read into a KeyPair.
#pragma once

#include "crypto/pubkey/key_pair.h"

namespace tw {

constexpr int kErrJwkKey = 271;  // no usable key: type, curve or a required member missing

// Every member is also kept as the key parameter "JWK_<n>_<name>" with its text. 0; 271; the
// JSON and Base64 codes pass through. The key is replaced only on success.
int ReadJwk(KeyPair* key, const char* json);

}  // namespace tw
