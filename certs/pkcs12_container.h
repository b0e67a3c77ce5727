// PKCS #12 (PFX) content: the reader that turns a PFX into its certificates with their keys and
// its bare keys, and the writer of a certificate with its key and the rest of its chain.
//
// Codes of ReadPfx, with the container's error_text:
//   447  the PFX or its AuthenticatedSafe is not the expected structure ("Failed to parse
//        AuthenticatedSafe." for an unsupported ContentInfo);
//   446  a bag is malformed ("Failed to parse SafeBag.", "Failed to parse CertBag.",
//        "Failed to parse PKCS8ShroudedKeyBag.") or, with the MAC confirming the password, an
//        encrypted part does not decrypt;
//   500  "Private key is not parsed.": encrypted content does not decrypt with the password and
//        the MAC does not confirm it (a wrong password);
//   1424 an encryption or MAC algorithm that is not supported.
#pragma once

#include <cstdint>

#include "certs/certificate.h"
#include "certs/key_entry.h"
#include "foundation/byte_string.h"
#include "foundation/string_list.h"

namespace tw {

constexpr int kErrPfxWrongPassword = 500;

constexpr const char* kPfxTextKeyNotParsed = "Private key is not parsed.";
constexpr const char* kPfxTextAuthSafe = "Failed to parse AuthenticatedSafe.";
constexpr const char* kPfxTextSafeBag = "Failed to parse SafeBag.";
constexpr const char* kPfxTextCertBag = "Failed to parse CertBag.";
constexpr const char* kPfxTextShroudedBag = "Failed to parse PKCS8ShroudedKeyBag.";

// One PFX as read.
struct Pkcs12Container {
  Pkcs12Container() = default;
  ~Pkcs12Container() { WipeString(password); }
  Pkcs12Container(Pkcs12Container&&) = default;
  Pkcs12Container& operator=(Pkcs12Container&&) = default;

  ByteString der;
  ByteString password;
  int32_t version = 0;
  // Certificates in bag order, each with the key whose localKeyId it shares (type 0 when none).
  CertificateWithKeyArray certificates;
  StringList certLocalKeyIds;    // parallel to certificates; "" when the bag had none
  StringList certFriendlyNames;  // UTF-8
  // Keys no certificate claimed; id is the friendlyName.
  KeyEntryArray keys;
  StringList keyLocalKeyIds;
  StringList keyFriendlyNames;
  int32_t selected = -1;
  ByteString subject;  // the requested subject
  ByteString error_text;
  // Whether the MAC was present and matched the password (informational).
  bool macVerified = false;

  void Reset();
  int CopyFrom(const Pkcs12Container& other);
};

// Parses and decrypts a PFX into out (reset first). The password is 8-bit text.
int ReadPfx(const void* der, int length, const ByteString& password, Pkcs12Container* out);

// A PFX of the first certificate with the key (PrivateKeyInfo DER; empty for none), followed by
// the other certificates: the key shrouded and the certificates encrypted under PBE-SHA1-3DES,
// 2000 iterations and fresh salts, MAC HMAC-SHA1. 0, 445, 200 or a cipher code.
int WritePfx(const CertificateArray& certificates, const ByteString& password, const ByteString& private_key_info,
             const char* friendly_name, ByteString* der);
// The same with the key as a KeyPair (null or type 0 for none); 445 for a key without its private
// part.
int WritePfx(const CertificateArray& certificates, const ByteString& password, const KeyPair* key,
             const char* friendly_name, ByteString* der);

}  // namespace tw
