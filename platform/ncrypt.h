// ncrypt: the CNG key storage calls the components make, with the software key storage provider
// over libcrypto. Elliptic-curve keys of P-256, P-384 and P-521 ("ECDSA_P256", "ECDSA_P384",
// "ECDSA_P521") are made, imported and exported as ECCPUBLICBLOB / ECCPRIVATEBLOB, sign and verify
// digests (raw r || s), and agree secrets that NCryptDeriveKey turns into keys ("HASH", "HMAC",
// "TLS_PRF").
//
// Keys live in the process only: the components make them without a name, so nothing is written
// to disk, and a named key is refused with NTE_NOT_SUPPORTED. Handles are never reused.
#pragma once

#include <cstdint>
#include <span>

#include "platform/key_container.h"
#include "platform/library.h"
#include "platform/sspi.h"

namespace win {

using NCRYPT_HANDLE = uintptr_t;
using NCRYPT_PROV_HANDLE = uintptr_t;
using NCRYPT_KEY_HANDLE = uintptr_t;
using NCRYPT_SECRET_HANDLE = uintptr_t;

struct NCryptBuffer {
  uint32_t cbBuffer;
  uint32_t BufferType;
  void* pvBuffer;
};
struct NCryptBufferDesc {
  uint32_t ulVersion;  // NCRYPTBUFFER_VERSION
  uint32_t cBuffers;
  NCryptBuffer* pBuffers;
};
constexpr uint32_t NCRYPTBUFFER_VERSION = 0;

// Parameter buffers of NCryptDeriveKey.
constexpr uint32_t KDF_HASH_ALGORITHM = 0;  // UTF-16 hash name with its terminator
constexpr uint32_t KDF_SECRET_PREPEND = 1;
constexpr uint32_t KDF_SECRET_APPEND = 2;
constexpr uint32_t KDF_HMAC_KEY = 3;
constexpr uint32_t KDF_TLS_PRF_LABEL = 4;
constexpr uint32_t KDF_TLS_PRF_SEED = 5;  // exactly 64 bytes

constexpr DWORD NCRYPT_PERSIST_FLAG = 0x80000000;
constexpr DWORD NCRYPT_ALLOW_EXPORT_FLAG = 0x1;
constexpr DWORD NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG = 0x2;

// BCRYPT_ECCKEY_BLOB magics ("ECS1" to "ECS6"; ECDH keys' "ECK1" to "ECK6" are taken too).
constexpr uint32_t BCRYPT_ECDSA_PUBLIC_P256_MAGIC = 0x31534345;
constexpr uint32_t BCRYPT_ECDSA_PRIVATE_P256_MAGIC = 0x32534345;
constexpr uint32_t BCRYPT_ECDSA_PUBLIC_P384_MAGIC = 0x33534345;
constexpr uint32_t BCRYPT_ECDSA_PRIVATE_P384_MAGIC = 0x34534345;
constexpr uint32_t BCRYPT_ECDSA_PUBLIC_P521_MAGIC = 0x35534345;
constexpr uint32_t BCRYPT_ECDSA_PRIVATE_P521_MAGIC = 0x36534345;

constexpr DWORD NTE_BAD_SIGNATURE = 0x80090006;
constexpr DWORD NTE_BAD_ALGID = 0x80090008;
constexpr DWORD NTE_NO_MEMORY = 0x8009000E;
constexpr DWORD NTE_INVALID_HANDLE = 0x80090026;
constexpr DWORD NTE_INVALID_PARAMETER = 0x80090027;
constexpr DWORD NTE_BUFFER_TOO_SMALL = 0x80090028;
constexpr DWORD NTE_NOT_SUPPORTED = 0x80090029;

constexpr char16_t MS_KEY_STORAGE_PROVIDER[] = u"Microsoft Software Key Storage Provider";
constexpr char16_t NCRYPT_EXPORT_POLICY_PROPERTY[] = u"Export Policy";
constexpr char16_t BCRYPT_ECCPUBLIC_BLOB[] = u"ECCPUBLICBLOB";
constexpr char16_t BCRYPT_ECCPRIVATE_BLOB[] = u"ECCPRIVATEBLOB";

// Every call returns ERROR_SUCCESS (0) or an NTE_ status. Sizes: with a null output the needed
// size goes to *result; a smaller buffer is NTE_BUFFER_TOO_SMALL.
SECURITY_STATUS NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* provider, const char16_t* name, DWORD flags);
// An unnamed key of the algorithm; it can be used once NCryptFinalizeKey has made it.
SECURITY_STATUS NCryptCreatePersistedKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key,
                                         const char16_t* algorithm, const char16_t* key_name, DWORD key_spec,
                                         DWORD flags);
// Only "Export Policy" (a DWORD), and only before the key is finalised.
SECURITY_STATUS NCryptSetProperty(NCRYPT_HANDLE object, const char16_t* property, const uint8_t* input,
                                  DWORD length, DWORD flags);
SECURITY_STATUS NCryptFinalizeKey(NCRYPT_KEY_HANDLE key, DWORD flags);
// ECCPRIVATEBLOB needs the plaintext export policy (NTE_NOT_SUPPORTED otherwise).
SECURITY_STATUS NCryptExportKey(NCRYPT_KEY_HANDLE key, NCRYPT_KEY_HANDLE export_key, const char16_t* blob_type,
                                NCryptBufferDesc* parameters, uint8_t* output, DWORD output_length,
                                DWORD* result, DWORD flags);
// The blob must match its type, curve and length exactly, and its point must be on the curve
// (NTE_BAD_DATA). An imported key may be exported again.
SECURITY_STATUS NCryptImportKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE import_key,
                                const char16_t* blob_type, NCryptBufferDesc* parameters, NCRYPT_KEY_HANDLE* key,
                                const uint8_t* data, DWORD length, DWORD flags);
// ECDSA over the digest as given; the signature is r || s, each of the curve's key size.
SECURITY_STATUS NCryptSignHash(NCRYPT_KEY_HANDLE key, void* padding, const uint8_t* hash, DWORD hash_length,
                               uint8_t* signature, DWORD signature_length, DWORD* result, DWORD flags);
// NTE_BAD_SIGNATURE for a signature that does not verify (or is not r || s of the key's size).
SECURITY_STATUS NCryptVerifySignature(NCRYPT_KEY_HANDLE key, void* padding, const uint8_t* hash,
                                      DWORD hash_length, const uint8_t* signature, DWORD signature_length,
                                      DWORD flags);
// The ECDH secret of a private key and a public key of the same curve.
SECURITY_STATUS NCryptSecretAgreement(NCRYPT_KEY_HANDLE private_key, NCRYPT_KEY_HANDLE public_key,
                                      NCRYPT_SECRET_HANDLE* secret, DWORD flags);
// "HASH": H(prepend || Z || append); "HMAC": HMAC-H(key; prepend || Z || append); H is
// KDF_HASH_ALGORITHM ("SHA1", "SHA256", "SHA384", "SHA512", "MD5"), SHA1 when absent.
// "TLS_PRF": the TLS 1.0 PRF of Z with the label and the 64-byte seed, 48 bytes.
SECURITY_STATUS NCryptDeriveKey(NCRYPT_SECRET_HANDLE secret, const char16_t* kdf, NCryptBufferDesc* parameters,
                                uint8_t* derived, DWORD derived_length, DWORD* result, DWORD flags);
SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE object);

// The entry points of "ncrypt.dll". Without libcrypto the provider does not open (NTE_FAIL).
std::span<const ProcEntry> NcryptExports();
// Providers, keys and secrets still open (tests check that each is freed).
long OpenNcryptObjects();

}  // namespace win
