// Password-based encryption of PFX content and of encrypted PKCS #8 keys: the PKCS #12 schemes
// (RFC 7292 appendix B key derivation with SHA-1), PBES2 with PBKDF2 (RFC 8018), and the PFX MAC.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"

namespace tw {

// An algorithm the readers do not know, or parameters out of their range.
constexpr int kErrPbeUnsupported = 1424;
// Iteration counts above this are refused so hostile content cannot stall the reader.
constexpr int kPbeMaxIterations = 10000000;

constexpr const char* kOidPbeSha1Rc4_128 = "1.2.840.113549.1.12.1.1";
constexpr const char* kOidPbeSha1Rc4_40 = "1.2.840.113549.1.12.1.2";
constexpr const char* kOidPbeSha1TripleDes = "1.2.840.113549.1.12.1.3";
constexpr const char* kOidPbeSha1TwoKeyTripleDes = "1.2.840.113549.1.12.1.4";
constexpr const char* kOidPbeSha1Rc2_128 = "1.2.840.113549.1.12.1.5";
constexpr const char* kOidPbeSha1Rc2_40 = "1.2.840.113549.1.12.1.6";
constexpr const char* kOidPbes2 = "1.2.840.113549.1.5.13";
constexpr const char* kOidPbeMd5Des = "1.2.840.113549.1.5.3";
constexpr const char* kOidPbeSha1Des = "1.2.840.113549.1.5.10";

// The password of the PKCS #12 key derivation: each byte as a big-endian 16-bit unit, then 00 00
// (an empty text gives just 00 00). 0 or 200.
int PfxPasswordToBmp(const ByteString& password, ByteString* bmp);

// Whether the OID names one of the six PKCS #12 schemes.
bool IsPkcs12Pbe(const char* oid);

// Decrypts under a PKCS #12 scheme; algorithm holds the OID text and the pbeParams DER
// (SEQUENCE { salt, iterations }). 0; 1424 for an unknown scheme or bad parameters; the cipher's
// code (2004 for bad padding) when the data does not decrypt.
// With raw set the padding is left in place (no padding check), so that callers can look at what
// a key gives for content that fails the check.
int DecryptPbe(const ByteStringPair& algorithm, const ByteString& password_bmp, const void* data, int length,
               ByteString* out, bool raw = false);
// Encrypts under a PKCS #12 scheme with the given salt and iteration count.
int EncryptPbe(const char* oid, const ByteString& salt, int iterations, const ByteString& password_bmp,
               const void* data, int length, ByteString* out);
// The pbeParams DER of a salt and an iteration count.
int EncodePbeParams(const ByteString& salt, int iterations, ByteString* out);

// PBES2 (params: the PBES2-params DER): PBKDF2 with HMAC-SHA1 or HMAC-SHA256 over the whole salt,
// then DES-EDE3-CBC, AES-128-CBC or AES-256-CBC with the scheme's IV. 1424 for anything else.
int DecryptPbes2(const ByteString& params, const ByteString& password, const void* data, int length,
                 ByteString* out, bool raw = false);

// PBES1 of PKCS #5 (params: the pbeParams DER): pbeWithMD5AndDES-CBC or pbeWithSHA1AndDES-CBC.
int DecryptPbes1(const ByteStringPair& algorithm, const ByteString& password, const void* data, int length,
                 ByteString* out, bool raw = false);

// PBES2, PBES1 or a PKCS #12 scheme, chosen by the algorithm's OID.
int DecryptPasswordBased(const ByteStringPair& algorithm, const ByteString& password,
                         const ByteString& password_bmp, const void* data, int length, ByteString* out,
                         bool raw = false);

// EncryptedPrivateKeyInfo DER to the PrivateKeyInfo DER it holds: PBES2, PBES1 or a PKCS #12 scheme.
// 0; 446/447 for a malformed structure; 1424 for another algorithm; the cipher's code.
int DecryptEncryptedPrivateKeyInfo(const ByteString& der, const ByteString& password, ByteString* key_info);

// The PFX MAC: HMAC with the digest of digest_oid (SHA-1, SHA-256, SHA-384, SHA-512) keyed by the
// PKCS #12 derivation (diversifier 3) of the password over the content. 1424 for another digest.
int ComputePfxMac(const char* digest_oid, const void* content, int length, const ByteString& password_bmp,
                  const ByteString& salt, int iterations, ByteString* mac);

}  // namespace tw
