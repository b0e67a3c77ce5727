// A server's side of the TLS 1.2-and-earlier key exchange: which suites its certificate can
// serve a given client, the scheme that signs its ServerKeyExchange, the exchange context each
// suite needs (ephemeral, export-grade, or the certificate's own EC key), and the
// CertificateRequest it sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/pubkey/key_exchange.h"
#include "crypto/pubkey/rsa_key_data.h"
#include "foundation/byte_string.h"
#include "tls/cipher_suites.h"
#include "tls/tls_certificates.h"

namespace tw {

// What the client's hello said that bears on the suite.
struct ClientSuiteNeeds {
  uint16_t version = 0;
  const std::vector<uint16_t>* groups = nullptr;       // supported_groups; empty: none sent
  const std::vector<uint16_t>* signatures = nullptr;   // signature_algorithms; empty: none sent
  uint16_t ecdhe_group = 0;                            // the group an ECDHE suite would use; 0 none
};

// The TLS 1.2 scheme a key of `kind` signs its ServerKeyExchange with: the client's first one the
// key makes (without a list, SHA-1 with the key's kind). Below TLS 1.2 *scheme is 0 and the hash
// is MD5+SHA-1 for RSA, SHA-1 for DSA and ECDSA. False when the key can sign nothing the client
// can check (EdDSA below TLS 1.2, or no common scheme).
bool ChooseServerSignature(const char* kind, uint16_t version, const std::vector<uint16_t>& requested,
                           uint16_t* scheme, int* hash_id, bool* pss);

// Whether the own certificate can carry the suite for this client: the key kind the suite
// authenticates with, a signature the client can check where a ServerKeyExchange is signed, a
// group for ECDHE, and for fixed ECDH an EC key on a curve the client takes and a certificate
// signed as the suite names.
bool CertificateServesSuite(const TlsCipherSuite& suite, const OwnKeyFacts& key, const ClientSuiteNeeds& client);

// An export RSA suite sends a temporary key only when the certificate's own key is longer than
// export allows, or cannot be read.
bool NeedsTemporaryRsaKey(const OwnKeyFacts& key);

// The server's exchange context for the suite: an ECDHE pair on `ecdhe_group`, a DHE pair (512
// bits for export suites), or the certificate's EC key for fixed ECDH; none for RSA. An export
// RSA suite takes the process-wide temporary key into *temp_rsa when NeedsTemporaryRsaKey.
int MakeServerKeyExchange(const TlsCipherSuite& suite, const CertSelection& own, uint16_t ecdhe_group,
                          std::unique_ptr<KeyExchange>* kx, std::unique_ptr<RsaKeyData>* temp_rsa);

// Whether the suite's server sends a ServerKeyExchange with the context made above.
bool SendsServerKeyExchange(const TlsCipherSuite& suite, const RsaKeyData* temp_rsa);

// The signature algorithms a TLS 1.2 CertificateRequest names, the ones a client's
// CertificateVerify may use.
const std::vector<uint16_t>& CertificateRequestSchemes();

// The CertificateRequest body of TLS 1.2 and earlier: certificate types, (TLS 1.2) the
// signature algorithms, and the CA names of `ca_certs` (PEM), cut to 16384 bytes of names at the
// last whole one; *truncated tells when names were left out.
int BuildCertificateRequest12(uint16_t version, const ByteString& ca_certs, ByteString* body, bool* truncated);

}  // namespace tw
