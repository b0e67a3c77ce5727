// The engine's cipher suites in preference order, what each implies (exchange, cipher, MAC hash,
// PRF, key size, lowest version), the offer for a configuration, the version rules over the
// protocol mask, and the names shown in status texts.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/byte_string.h"

namespace tw {

// Protocol pairs of the protocol mask (a version is on only when both bits of its pair are).
constexpr uint32_t kTlsProtocolSsl3 = 0x0030;
constexpr uint32_t kTlsProtocolTls10 = 0x00C0;
constexpr uint32_t kTlsProtocolTls11 = 0x0300;
constexpr uint32_t kTlsProtocolTls12 = 0x0C00;
constexpr uint32_t kTlsProtocolTls13 = 0x3000;

constexpr uint16_t kSsl30 = 0x0300;
constexpr uint16_t kTls10 = 0x0301;
constexpr uint16_t kTls11 = 0x0302;
constexpr uint16_t kTls12 = 0x0303;
constexpr uint16_t kTls13 = 0x0304;

enum TlsKeyExchangeKind : uint8_t {
  kKxTls13 = 0,
  kKxRsa = 1,
  kKxRsaExport = 2,
  kKxDhDss = 3,
  kKxDhRsa = 4,
  kKxDheDss = 5,
  kKxDheDssExport = 6,
  kKxDheRsa = 7,
  kKxDheRsaExport = 8,
  kKxDhAnon = 9,
  kKxDhAnonExport = 10,
  kKxEcdheEcdsa = 11,
  kKxEcdheRsa = 12,
  kKxEcdhEcdsa = 13,
  kKxEcdhRsa = 14,
  kKxEcdhAnon = 15,
};

// How a suite's records are encrypted.
enum TlsBulkCipher : uint8_t {
  kBulkAesCbc,
  kBulkDesCbc,
  kBulkTripleDesCbc,
  kBulkRc4,
  kBulkAesGcm,
  kBulkChaCha20Poly1305,
};

struct TlsCipherSuite {
  uint16_t id;
  const char* name;
  const char* cipher_name;  // "AES", "AES-GCM", "3DES", "DES", "RC4", "CHACHA20-POLY1305"
  TlsKeyExchangeKind kx;
  TlsBulkCipher bulk;
  int8_t hash_id;       // MAC hash (AEAD: the PRF's hash)
  uint8_t prf;          // 1 SHA-256, 2 SHA-384
  uint8_t key_bytes;    // key material drawn from the key block
  uint16_t key_bits;    // strength shown in status texts
  uint16_t min_version;
  uint8_t iv_bytes;     // block length; 12 for the TLS 1.3 suites; 0 for RC4

  constexpr bool aead() const { return bulk == kBulkAesGcm || bulk == kBulkChaCha20Poly1305; }
  constexpr bool exportable() const {
    return kx == kKxRsaExport || kx == kKxDheDssExport || kx == kKxDheRsaExport ||
           kx == kKxDhAnonExport;
  }
  constexpr bool anonymous() const { return kx == kKxDhAnon || kx == kKxDhAnonExport || kx == kKxEcdhAnon; }
  // Digest length of the MAC hash; 0 for AEAD suites, which have no MAC key.
  int mac_bytes() const;
};

// The kept suites (anonymous ones dropped) in preference order.
const TlsCipherSuite* TlsCipherSuites(int* count);
const TlsCipherSuite* FindCipherSuite(uint16_t id);
// By registry name, exact match; null when unknown or dropped.
const TlsCipherSuite* FindCipherSuiteByName(const char* name, int length);

// True for every name of the candidate list, the dropped anonymous suites included.
bool IsKnownSuiteName(const char* name, int length);

// The shown name of a key-exchange kind ("RSA", "DH", "DH Ephemeral", "DH Anonymous"); "" for 0.
const char* KeyExchangeName(TlsKeyExchangeKind kind);
// "SHA1", "MD5", "SHA256", "SHA512", "SHA384" by hash id; "" otherwise.
const char* SuiteHashName(int hash_id);

// Version rules over the protocol mask. Each returns false when no version is enabled.
bool HighestHelloVersion(uint32_t mask, uint16_t* version);
bool LowestVersion(uint32_t mask, uint16_t* version);
bool VersionAllowed(uint32_t mask, uint16_t version);

// The suites offered for this configuration: the table without its RC4 and DES suites (or the
// text's names, in its order, when the text is not "*"), without export suites unless weak ones
// are allowed, without suites above the offer version, and only TLS 1.3 suites under a TLS
// 1.3-only mask. False when the mask enables no version.
bool BuildSuiteOffer(const char* suite_text, uint32_t mask, bool weak_allowed,
                     std::vector<uint16_t>* offer);

// Narrows a server's candidates to those usable at the negotiated version.
void FilterSuitesForVersion(uint16_t version, std::vector<uint16_t>* suites);

// The version a server uses for the client's version: 0, or 278 (below SSL 3.0) or 276 with the
// reason in *text and the alert to send in *alert (0 for none).
int ChooseServerVersion(uint32_t mask, uint16_t client_version, uint16_t* chosen, ByteString* text,
                        int* alert);

// "SSL3.0" ... "TLS1.3", "Unknown SSL/TLS version".
const char* VersionName(uint16_t version);
// "SSL3", "TLS1", "TLS1.1", "TLS1.2", "TLS1.3" for the completion text; "" otherwise.
const char* CompletionVersionName(uint16_t version);
// Group name by id, or "Unknown group name for id: <id>".
int GroupName(uint16_t id, ByteString* out);
bool IsEllipticGroup(uint16_t id);
// Group id by name; -1 when unknown.
int GroupIdByName(const char* name, int length);
// Hash name of a TLS 1.2 signature pair's high byte; "" otherwise.
const char* SignatureHashName(uint8_t hash);
// "<registry name> (0xHHHH)" for a suite of the table; "Unknown (0x..)" otherwise.
int SuiteDisplayText(uint32_t id, ByteString* out);

}  // namespace tw
