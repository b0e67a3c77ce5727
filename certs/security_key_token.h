// Certificates and keys on a security token, reached through the PKCS #11 module that the token
// description names. The description is a "SECURITY KEY" block of "Name: value" lines:
//
//   -----BEGIN SECURITY KEY-----
//   DllPath: /usr/lib/softhsm/libsofthsm2.so
//   TokenLabel: my token        (or Slot: <slot id>; neither: the first slot with a token)
//   ObjectLabel: my cert        (optional: only certificates of that label)
//   ObjectId: 0a1b              (optional: only certificates of that CKA_ID, in hex)
//   -----END SECURITY KEY-----
//
// The password is the user PIN. Each certificate found becomes a certificate-with-key entry whose
// property list names the token and the objects; the private key never leaves the token, so the
// entry's key holds the public part and signing goes back to the token.
#pragma once

#include <cstddef>
#include <cstdint>

#include "certs/cert_entry_list.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr const char* kPkcs11DllPath = "PKCS11_DLL_PATH";
constexpr const char* kPkcs11SlotId = "PKCS11_SLOT_ID";
constexpr const char* kPkcs11TokenLabel = "PKCS11_TOKEN_LABEL";
constexpr const char* kPkcs11ObjectId = "PKCS11_OBJECT_ID";
constexpr const char* kPkcs11ObjectLabel = "PKCS11_OBJECT_LABEL";
constexpr const char* kPkcs11CertHandle = "PKCS11_CERT_HANDLE";
constexpr const char* kPkcs11PrivateKeyHandle = "PKCS11_PRIVATE_KEY_HANDLE";

// PKCS #11 mechanisms the callers sign with.
constexpr unsigned long kMechanismRsaPkcs = 0x1;         // DigestInfo given by the caller
constexpr unsigned long kMechanismSha256RsaPkcs = 0x40;  // the token hashes
constexpr unsigned long kMechanismEcdsa = 0x1041;        // the hash given by the caller
constexpr int kErrTokenKeyUnsupported = 278;

struct TokenDescription {
  ByteString dllPath;
  ByteString slot;  // decimal slot id, or empty
  ByteString tokenLabel;
  ByteString objectLabel;
  ByteString objectId;  // hex

  // 0; 271 when the text holds no "SECURITY KEY" block or a line is not "Name: value".
  int Parse(const void* text, int length);
};

// Whether the text carries a "SECURITY KEY" block.
bool HasSecurityKeyBlock(const void* text, int length);

// Appends an entry for every certificate of the described token. 0; 271 with error_text when the
// description, the module, the token or the login fails (a wrong PIN: "(Wrong password)"); 272
// when the token holds no certificate that fits.
int ReadSecurityKeyItems(const void* text, int length, const char* pin, CertEntryList* list,
                         ByteString* error_text);

// Signs with the private key that belongs to a token entry. 0; 271 as above; 272 when the key
// is not on the token (any more).
int SignWithSecurityKey(const CertificateWithKey& item, const char* pin, unsigned long mechanism,
                        const uint8_t* data, size_t n, ByteString* signature,
                        ByteString* error_text);

// Signs a digest of hash_id (a HashId) with the token key, by the certificate's key kind: RSA
// PKCS #1 v1.5 over its DigestInfo (the bare 36 bytes for MD5+SHA-1) or, with pss, RSASSA-PSS
// with MGF1 of the same hash and a salt of the digest's length; DSA and ECDSA as a DER
// SEQUENCE of r and s. Codes as above; 278 for a key kind or hash the token path does not sign.
int SignDigestWithSecurityKey(const CertificateWithKey& item, const char* pin, int hash_id, bool pss,
                              const uint8_t* digest, size_t n, ByteString* signature,
                              ByteString* error_text);

// A token entry holds a private key when its key handle is set and not "0".
bool TokenItemHasPrivateKey(const CertificateWithKey& item);

}  // namespace tw
