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
constexpr uintptr_t CERT_STORE_PROV_SYSTEM_A = 9;
constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x10000;
constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x20000;
constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x4000;
constexpr DWORD CERT_STORE_READONLY_FLAG = 0x8000;
constexpr DWORD CERT_FIND_ANY = 0;
constexpr DWORD CERT_FIND_SUBJECT_NAME = 0x20007;
constexpr DWORD CERT_FIND_SUBJECT_STR_A = 0x70007;
constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr DWORD CERT_KEY_SPEC_PROP_ID = 6;
constexpr DWORD CERT_FRIENDLY_NAME_PROP_ID = 11;
constexpr DWORD CERT_STORE_ADD_NEW = 1;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
constexpr DWORD CRYPT_E_EXISTS = 0x80092005;
constexpr DWORD CRYPT_E_NO_KEY_PROPERTY = 0x8009200B;
constexpr DWORD CRYPT_E_INVALID_X500_STRING = 0x80092023;
constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000B;
constexpr DWORD NTE_PERM = 0x80090010;
constexpr DWORD REPORT_NO_PRIVATE_KEY = 0x0001;
constexpr DWORD REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY = 0x0002;
constexpr DWORD EXPORT_PRIVATE_KEYS = 0x0004;
constexpr DWORD CRYPT_ACQUIRE_CACHE_FLAG = 0x0001;
constexpr DWORD ERROR_INVALID_PASSWORD = 86;
constexpr DWORD ERROR_MORE_DATA = 234;

using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;

struct CRYPT_KEY_PROV_INFO {
  char16_t* pwszContainerName;
  char16_t* pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;  // CRYPT_MACHINE_KEYSET for a container of the machine key set
  DWORD cProvParam;
  void* rgProvParam;
  DWORD dwKeySpec;
};

// The memory store (provider 2), or a system store (provider 9, para its 8-bit name) of the
// location in the flags (CERT_SYSTEM_STORE_LOCAL_MACHINE, else the current user): a copy of the
// folder's certificates (platform/cert_store_files.h), those of PFX files that open without a
// password with their keys. A store folder that does not exist gives ERROR_FILE_NOT_FOUND; any
// other provider ERROR_NOT_SUPPORTED.
HCERTSTORE CertOpenStore(uintptr_t provider, DWORD encoding, HCRYPTPROV crypt_provider, DWORD flags,
                         const void* para);
// The names of the location's system stores (flags as for CertOpenStore): "ROOT", "CA", then
// each store folder. The callback gets the UTF-16 name and `arg`; FALSE from it ends the walk.
using PFN_CERT_ENUM_SYSTEM_STORE = BOOL (*)(const void* name, DWORD flags, void* info, void* reserved, void* arg);
BOOL CertEnumSystemStore(DWORD flags, void* location, void* arg, PFN_CERT_ENUM_SYSTEM_STORE callback);
// The next certificate after `previous` (which is freed) that fits: any (CERT_FIND_ANY), one whose
// subject as CERT_SIMPLE_NAME_STR text contains the 8-bit text without regard to case
// (CERT_FIND_SUBJECT_STR_A), or one whose encoded subject equals the CERT_NAME_BLOB byte for byte
// (CERT_FIND_SUBJECT_NAME). A copy to free; null with CRYPT_E_NOT_FOUND.
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD find_flags, DWORD find_type,
                                          const void* para, PCCERT_CONTEXT previous);
// Frees the store and the contexts it holds; contexts handed out from it stay valid.
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
// A copy of the context goes into the store; *added (when given) gets another copy to free.
// A system store opened for writing keeps it as a DER file named by its SHA-1 thumbprint.
BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                      PCCERT_CONTEXT* added);
// The same for DER bytes; CRYPT_E_ASN1_BADTAG when they are no certificate.
BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const uint8_t* encoded, DWORD length,
                                      DWORD disposition, PCCERT_CONTEXT* added);
// Removes the context's certificate from the store that handed it out (a system store's file
// goes with it when it held that certificate alone) and frees the context, in every case.
// FALSE with CRYPT_E_NOT_FOUND when no store holds it, ERROR_ACCESS_DENIED for a read-only store.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context);
// Text in the ANSI code page such as "O=org, CN=name" as an encoded X.500 Name, the parts in the
// text's order (reversed with CERT_NAME_STR_REVERSE_FLAG), so that CertNameToStrA's text comes
// back as the name it was read from. Parts are separated by "," or ";" (only one of them, or
// only CR or LF, by the flags) and the values of one part by "+" (unless
// CERT_NAME_STR_NO_PLUS_FLAG); keys are X.500 keys, "OID." and a dotted OID, or the dotted OID;
// values may be quoted with a doubled quote inside, and "#" and hex is an octet string. Values
// are PrintableString when they can be, IA5String for E, else BMPString (T61String or
// UTF8String by the flags). The string type must be CERT_OID_NAME_STR or CERT_X500_NAME_STR
// (E_INVALIDARG otherwise). A null buffer asks for the size; a small one gets ERROR_MORE_DATA.
// FALSE with CRYPT_E_INVALID_X500_STRING (and *error at the bad part, when asked) for text it
// cannot read.
BOOL CertStrToNameA(DWORD encoding, const char* text, DWORD type, void* reserved, uint8_t* encoded, DWORD* size,
                    const char** error);
// The store's certificates as PFX bytes protected by the password: a null pbData asks for the
// size. With EXPORT_PRIVATE_KEYS the keys go with them; a key that may not leave the platform
// fails with NTE_BAD_KEY_STATE under REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY, and a certificate
// without a key with NTE_NO_KEY under REPORT_NO_PRIVATE_KEY. CRYPT_E_NOT_FOUND for an empty store.
BOOL PFXExportCertStore(HCERTSTORE store, CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags);
// The provider that holds the context's key: the context's key container, or for a key that came
// from a PFX a provider of that key. With CRYPT_ACQUIRE_CACHE_FLAG the handle stays with the
// context (freed with it; *caller_free FALSE). FALSE with CRYPT_E_NO_KEY_PROPERTY without a key.
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, void* reserved, HCRYPTPROV* provider,
                                       DWORD* key_spec, BOOL* caller_free);
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
// CERT_KEY_PROV_INFO_PROP_ID: a CRYPT_KEY_PROV_INFO (its texts behind it) when the context has a
// key. CERT_KEY_SPEC_PROP_ID: the key's DWORD kind (exchange or signature) when it has one.
// CERT_FRIENDLY_NAME_PROP_ID: the friendly name the certificate's PFX bag carried, as UTF-16 with
// its NUL. Data null asks for the size; a buffer too small gets ERROR_MORE_DATA and the size.
// Any other property, no key or no name: CRYPT_E_NOT_FOUND.
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, void* data, DWORD* size);

// For the other stand-ins: the context's certificate and private key as new references, or
// false when the context is unknown or has no key that libcrypto can use.
bool CertContextCredentials(PCCERT_CONTEXT context, const OpenSslEntries** ossl, OsslX509** cert,
                            OsslPkey** key);

std::span<const ProcEntry> Crypt32StoreExports();

}  // namespace win
