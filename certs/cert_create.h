// Certificates made here: an X.509 version 3 certificate for a key, self-signed or signed by an
// issuer's key, and the signature of a buffer with a KeyPair.
#pragma once

#include <cstdint>

#include "certs/cert_extension.h"
#include "certs/certificate.h"
#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrCreateNoIssuerKey = 272;
constexpr int kErrSignKeyKind = 1301;  // a key of no family that signs

// Fills the certificate record and signs it. An empty issuer name makes it self-signed with the
// subject key (the issuer key is then ignored); otherwise the issuer key signs and must be
// given (272). Validity runs from not_before to not_after days from now. The hash name picks the
// RSA signature algorithm (an unknown name is taken as the algorithm's OID); DSA signs with
// SHA-1, ECDSA with the hash that fits the signing key's curve and EdDSA over the message.
// On success `der` holds the whole certificate.
int CreateSignedCertificate(const KeyPair& subject_key, const char* subject_name,
                            int32_t serial_number, int32_t not_before_days,
                            int32_t not_after_days, const char* issuer_name,
                            const KeyPair* issuer_key, const CertExtensionArray* extensions,
                            const char* hash_name, Certificate* certificate);

// The placeholder certificate of a bare key: self-signed "CN=pem_cert", serial 1, valid from now
// for 365 days, signed with SHA-1. A key that cannot sign (no private part, or a key-agreement
// curve) is first replaced by a new 1024-bit RSA key.
int CreateBareKeyCertificate(KeyPair* key, Certificate* certificate);

// The signature of the data with the key's private part: EdDSA over the data itself, every other
// family over its digest with the named hash (RSA PKCS #1 v1.5; DSA and ECDSA as DER). 1301 for
// a key of no signing family; the digest's and engines' codes pass through.
int SignWithKeyPair(const void* data, int length, const char* hash_name, const KeyPair& key,
                    ByteString* signature);

}  // namespace tw
