// Where the TLS engine meets certificates: the own certificate and key it sends and signs with,
// the chain it sends, the TLS 1.3 signature schemes its key can serve, and the check of the
// peer's chain that ends in the owner's decision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/byte_string.h"

namespace tw {

class KeyExchange;

constexpr int kErrCertSelection = 281;
constexpr int kErrCertRefused = 280;
constexpr int kErrCertHostName = 275;
// A key kind or signature form the TLS layer cannot use (for now: EdDSA, wired in one place).
constexpr int kErrTlsKeyUnsupported = 278;

// What the certificate check needs of the engine: its settings and its hooks.
class TlsCertificateHost {
 public:
  virtual bool IsClient() const = 0;
  virtual uint32_t SecurityFlags() const = 0;
  virtual const char* ServerName() const = 0;
  virtual uint16_t NegotiatedVersion() const = 0;
  virtual const char* Tls12SignatureAlgorithms() const = 0;
  virtual int Status(const char* text) = 0;
  virtual int RaiseError(int code, const char* text) = 0;
  virtual int Fail(int code, const char* text) = 0;
  virtual int SendFatalAlert(uint8_t description) = 0;
  // The owner's decision: accept starts as (code == 0); the owner may change it.
  virtual int CheckServerCertificate(const ByteString& cert_encoded, const ByteString& leaf_der,
                                     int code, const char* status, bool* accept) = 0;

 protected:
  ~TlsCertificateHost() = default;
};

// A TLS endpoint's certificate choice: a store (name, path or content) with its type, password and
// subject, or an encoded certificate; once loaded, the selected certificate, the rest of its
// chain as found in the store, and its private key when the store holds one.
class CertSelection {
 public:
  CertSelection();
  ~CertSelection();
  CertSelection(const CertSelection&) = delete;
  CertSelection& operator=(const CertSelection&) = delete;

  // 0, 281 with error_text(), or the loader's code.
  int Load(const void* store, int store_length, int32_t store_type, const char* password,
           const char* subject, const void* encoded, int encoded_length);
  int CopyFrom(const CertSelection& other);
  void Release();

  bool loaded() const;
  // The store held the private key that belongs to the selected certificate.
  bool has_private_key() const;
  // The selected certificate's DER; empty when none.
  const ByteString& der() const;
  // The chain of the selected certificate (leaf first) as the platform's chain engine builds it
  // through a chain manager loaded as this selection was: the certificates as PEM (DER with
  // to_der), and when asked the normalised subjects and issuers, the serials and the status word
  // (chain error bits less those the flags ignore: 0x1 time, 0x10 an untrusted self-issued end).
  // 0; 281 "Init CertChain Failed." or without a selection; the manager's code and text.
  int GetChain(std::vector<ByteString>* certificates, bool to_der, std::vector<ByteString>* subjects,
               std::vector<ByteString>* issuers, std::vector<ByteString>* serials, uint32_t* status,
               uint32_t flags) const;
  int GetChainDer(std::vector<ByteString>* out, uint32_t flags) const;
  const ByteString& error_text() const;
  // The selected certificate's key algorithm name ("RSA", "DSA", "IdEcPublicKey", "EdDSA",
  // "Unknown"); "" without a selection.
  const char* KeyAlgorithm() const;

  struct Impl;
  Impl* impl() const { return impl_; }

 private:
  Impl* impl_;
};

// The Certificate message body (TLS 1.3: with the empty request context and entry extensions):
// the chain of the own selection without its self-signed root end, or an empty list without one.
// When the chain cannot be had, the selected certificate alone.
int BuildCertificateBody(const CertSelection* own, bool tls13, ByteString* body);
// The same, raising 279 "Could not get certificate chain for our certificate" through the host
// when the chain cannot be had; a TLS 1.3 body echoes the request's context when one is given.
int BuildCertificateBody(TlsCertificateHost* host, const CertSelection* own, bool tls13, ByteString* body,
                         const ByteString* request_context = nullptr);

// The certificates of a received Certificate message body, leaf first, as DER. 0 or 50
// (decode_error) for a malformed body or an empty entry.
int ParseCertificateBody(const uint8_t* body, size_t length, bool tls13,
                         std::vector<ByteString>* certificates);

// The TLS 1.3 schemes (codes) of `scheme_names` that the own key can sign with, in list order.
// 0, or -1 for a name that is no scheme.
int FilterSignatureSchemesByKey(const CertSelection* own, const char* scheme_names,
                                std::vector<uint16_t>* out);
bool UsesRsaPssSignature(uint16_t version, uint16_t scheme);
// False for the PKCS #1 v1.5 schemes under TLS 1.3, where a CertificateVerify must not use them
// (they stay valid in the signature_algorithms list, for certificate signatures).
bool Tls13SchemeAllowed(uint16_t version, uint16_t scheme);
// The HashId a signature scheme digests with; -1 for the EdDSA schemes and unknown codes.
int SignatureSchemeHashId(uint16_t scheme);

// Whether the TLS 1.2 signature-algorithm list allows this hash and key kind.
bool SignatureAlgorithmListAllows(const char* list, const char* hash, const char* key_kind);

// The whole check of the peer's chain (certificates as DER, leaf first) and the owner's decision:
// non-zero when the connection may go on; 0 when refused (the alert, status and failure sent).
// peer receives the leaf.
int VerifyPeerCertificate(TlsCertificateHost& host, CertSelection* peer,
                          const std::vector<ByteString>& certificates);

// ---- Signatures of ServerKeyExchange and CertificateVerify ----
// hash_id: a HashId of crypto/symmetric/hash_engine.h (kHashMd5Sha1 below TLS 1.2: RSA signs the
// 36 raw bytes, DSA and ECDSA sign the SHA-1 part). pss: RSASSA-PSS with that hash.
// scheme 0x0807/0x0808: EdDSA over the data itself.
// The own key signs `data`: 0, 281 without the selected certificate's private key, 278 for EdDSA.
int SignWithOwnKey(const CertSelection& own, uint16_t scheme, int hash_id, bool pss,
                   const uint8_t* data, size_t n, ByteString* signature);
// The peer certificate's key checks `signature` over `data`. *valid false for a wrong signature.
// 0 or a code (unsupported key kind).
int VerifyWithPeerKey(const ByteString& peer_der, uint16_t scheme, int hash_id, bool pss,
                      const uint8_t* data, size_t n, const uint8_t* signature, size_t sig_length,
                      bool* valid);
// The peer certificate's key kind: "rsa", "dsa", "ecdsa", "ed25519", "ed448", "" when unknown; and
// for EC keys the curve's TLS group (23, 24, 25), else 0.
const char* PeerKeyKind(const ByteString& peer_der, uint16_t* group);
// The RSA public key of the peer certificate, for encrypting the pre-master secret; the static
// ECDH public point for the fixed-ECDH suites.
// The raw RSA private operation of the own key, left-padded to the modulus length (the server's
// pre-master secret is unpadded by the caller in constant time).
int OwnRsaPrivateOp(const CertSelection& own, const uint8_t* data, size_t n, ByteString* out);
int PeerRsaEncrypt(const ByteString& peer_der, const uint8_t* data, size_t n, ByteString* out);
int PeerEcPoint(const ByteString& peer_der, int* curve_id, ByteString* point);

// ---- What a server's own certificate serves ----
struct OwnKeyFacts {
  const char* kind = "";    // as PeerKeyKind names it; "" without a readable key
  uint16_t group = 0;       // the TLS group of a P-256/384/521 key
  const char* signer = "";  // the kind of key that signed the certificate: "rsa", "dsa", "ecdsa", ""
  int rsa_bits = 0;         // an RSA key's modulus size
};
OwnKeyFacts DescribeOwnKey(const CertSelection& own);
// A context whose own key is the certificate's EC key (the fixed-ECDH suites). 0 or 278.
int OwnEcdhKeyExchange(const CertSelection& own, std::unique_ptr<KeyExchange>* out);
// The distinguished names (DER, each with its two-byte length) of the certificates in a PEM text,
// in order, as long as the whole stays within `limit` bytes; *truncated tells whether names were
// left out. Blocks that are no certificate are passed over.
int CaDistinguishedNames(const ByteString& pem_text, size_t limit, ByteString* names, bool* truncated);

}  // namespace tw
