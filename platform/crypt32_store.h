// crypt32's memory stores, PFX import and the private-key property of certificate contexts,
// over libcrypto. A context's key is either one that came with it from a PFX or the key of the
// container bound to it (platform/key_container.h).
#pragma once

#include <cstdint>
#include <span>

#include "platform/key_container.h"
#include "platform/openssl_entries.h"

namespace win {

constexpr uintptr_t CERT_STORE_PROV_MEMORY = 2;
constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr DWORD CERT_STORE_ADD_NEW = 1;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
constexpr DWORD CRYPT_E_EXISTS = 0x80092005;
constexpr DWORD ERROR_INVALID_PASSWORD = 86;

struct CRYPT_DATA_BLOB {
  DWORD cbData;
  uint8_t* pbData;
};

struct CRYPT_KEY_PROV_INFO {
  char16_t* pwszContainerName;
  char16_t* pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;  // CRYPT_MACHINE_KEYSET for a container of the machine key set
  DWORD cProvParam;
  void* rgProvParam;
  DWORD dwKeySpec;
};

// Only the memory store (provider 2); null with ERROR_NOT_SUPPORTED for any other.
HCERTSTORE CertOpenStore(uintptr_t provider, DWORD encoding, HCRYPTPROV crypt_provider, DWORD flags,
                         const void* para);
// Frees the store and the contexts it holds; contexts handed out from it stay valid.
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
// A copy of the context goes into the store; *added (when given) gets another copy to free.
BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                      PCCERT_CONTEXT* added);
// The context after `previous` (which is freed) as a copy to free; null with CRYPT_E_NOT_FOUND
// at the end.
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);
// A memory store of the PFX's certificates; the one that has the PFX's key carries it.
// Null with ERROR_INVALID_PASSWORD when the password does not open it, NTE_BAD_DATA when the
// bytes are no PFX.
HCERTSTORE PFXImportCertStore(const CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags);
// CERT_KEY_PROV_INFO_PROP_ID binds (or, with null data, unbinds) a key container.
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, DWORD flags, const void* data);
// Whether a key is bound: *size is set to 1 when one is (data is not written).
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, void* data, DWORD* size);

// For the other stand-ins: the context's certificate and private key as new references, or
// false when the context is unknown or has no key that libcrypto can use.
bool CertContextCredentials(PCCERT_CONTEXT context, const OpenSslEntries** ossl, OsslX509** cert,
                            OsslPkey** key);

std::span<const ProcEntry> Crypt32StoreExports();

}  // namespace win
