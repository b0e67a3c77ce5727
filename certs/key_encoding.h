// Keys written as DER or PEM: PKCS #1 for RSA, PKCS #8 PrivateKeyInfo for private keys and
// SubjectPublicKeyInfo for public keys of every family; and a new key made from a type name.
//
// Every writer decides from the record whether it is private, writes the public form when it is
// not, and replaces out with the DER, or with its PEM armour when pem is set. Nothing is written
// on failure.
#pragma once

#include "crypto/pubkey/dsa_key_data.h"
#include "crypto/pubkey/ec_key_data.h"
#include "crypto/pubkey/key_pair.h"
#include "crypto/pubkey/rsa_key_data.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrKeyTypeName = 2001;  // GenerateKeyByTypeName: a type name not known
constexpr int kErrKeyFamily = -1;      // a record of the wrong curve family for the writer

// RSAPrivateKey (private when D is present, or P and Q both are) or RSAPublicKey; labels
// "RSA PRIVATE KEY" / "RSA PUBLIC KEY". A private record is completed (N from P and Q, D from E,
// P and Q, the CRT values) so every field sits in its place; one that cannot be (D without the
// primes, no E) is refused with 445.
int WriteRsaPkcs1(const RsaKeyData& key, bool pem, ByteString* out);
// PrivateKeyInfo or SubjectPublicKeyInfo of rsaEncryption; "PRIVATE KEY" / "PUBLIC KEY".
int WriteRsaPkcs8(const RsaKeyData& key, bool pem, ByteString* out);
// The same for DSA (private when X is present); 445 without P, Q, G and the key value.
int WriteDsaPkcs8(const DsaKeyData& key, bool pem, ByteString* out);
// The same for P-256, P-384 and P-521 (private when D is present and public_only is off); the
// private form carries the public point when X and Y are present. -1 for another curve.
int WriteEcPkcs8(const EcKeyData& key, bool pem, bool public_only, ByteString* out);
// RFC 8410 forms of Ed25519, Ed448, X25519 and X448: version 1 with the [1] public key when
// the public bytes are present, else version 0. -1 for another curve.
int WriteEdPkcs8(const EcKeyData& key, bool pem, bool public_only, ByteString* out);

// A new key by type name: "RSA" and "DSA" of the given size, "ECDSA_P256", "ECDSA_P384",
// "ECDSA_P521", "Ed25519", "Ed448" (any case); 2001 for another name, the engines' codes (1206
// for a size outside their rules) pass through. The key is replaced only on success.
int GenerateKeyByTypeName(const char* type_name, int bits, KeyPair* key);

}  // namespace tw
