// Signatures of certificates and other signed structures, checked with the key of an issuer's
// SubjectPublicKeyInfo: RSA PKCS #1 v1.5 and RSASSA-PSS, ECDSA on P-256, P-384 and P-521, and
// DSA, each with SHA-1 or a SHA-2 hash.
//
// A signature that does not verify is a false verdict with 0. A code means no verdict could be
// reached: the algorithm is refused (MD5, MD2) or not handled, its parameters are malformed, or
// the key does not suit it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "certs/certificate.h"
#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"

namespace tw {

constexpr int kErrSignatureUnsupported = 1301;  // an algorithm or key this check does not handle
constexpr int kErrSignatureRefused = 1302;      // an algorithm too weak to be trusted
constexpr int kErrSignatureKeyMismatch = 1303;  // the key is not of the algorithm's kind

// A signature over `data` made with `algorithm` (OID text and parameters DER, as
// ParseAlgorithmIdentifier gives them) by the key `key` (read from the issuer's
// SubjectPublicKeyInfo with algorithm `key_algorithm`).
int VerifySignedData(const ByteStringPair& algorithm, const uint8_t* data, size_t data_length,
                     const uint8_t* signature, size_t signature_length,
                     const ByteStringPair& key_algorithm, const KeyPair& key, bool* valid);

// The same with the issuer's SubjectPublicKeyInfo element as DER.
int VerifySignedDataWithSpki(const ByteStringPair& algorithm, const uint8_t* data,
                             size_t data_length, const uint8_t* signature, size_t signature_length,
                             const ByteString& spki_der, bool* valid);

// The certificate's signature checked with the issuer's key. The signature algorithm outside the
// TBS must equal the one inside it, or the verdict is false.
int VerifyCertificateSignature(const Certificate& certificate, const Certificate& issuer,
                               bool* valid);

// Ed25519 and Ed448 verdicts: the one place the EdDSA verifiers are called from.
int VerifyEdwardsSignature(const EcKeyData& key, const uint8_t* data, size_t data_length,
                           const uint8_t* signature, size_t signature_length, bool* valid);

}  // namespace tw
