// A KeyPair from a SubjectPublicKeyInfo's bytes, and a KeyPair's private key written in its
// family's DER or PEM form.
#pragma once

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrNoPrivateKey = 290;     // no private part, or its public part cannot be made
constexpr int kErrUnknownKeyKind = 1424;  // a KeyPair of no known type

// The key of a DER SubjectPublicKeyInfo; the caller's key is replaced only on success. 0; 446
// for DER that is not one whole SubjectPublicKeyInfo or an algorithm not known.
int ReadPublicKeyInfoBytes(KeyPair* key, const void* der, int length);

// The private key as PKCS #1 (RSA) or PKCS #8 (the others), PEM armoured when pem is set; out
// is replaced. 290 when the key has no private part or its public part cannot be completed;
// 1424 for an unknown type; else the writer's code.
int WritePrivateKey(const KeyPair& key, bool pem, ByteString* out);

}  // namespace tw
