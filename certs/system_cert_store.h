// The system certificate stores of the current user and the local machine, reached through
// crypt32: the library bound once, the stores opened, a certificate found by subject and exported
// with its key as PKCS #12 for the ordinary parser.
#pragma once

#include <cstdint>
#include <type_traits>

#include "certs/cert_entry_list.h"
#include "platform/crypt32_store.h"
#include "platform/library.h"
#include "platform/sspi.h"

namespace tw {

class CertStore;

// crypt32's entry points, in the order they are bound.
enum Crypt32Entry : int {
  kCertDuplicateCertificateContext, kCertFreeCertificateContext, kCertCloseStore, kCertNameToStrA,
  kCertFindCertificateInStore, kCertStrToNameA, kCertOpenSystemStoreA, kCertOpenStore,
  kCertVerifyCertificateChainPolicy, kCertGetCertificateChain, kCertFreeCertificateChain, kCertEnumSystemStore,
  kCertGetPublicKeyLength, kCertGetIntendedKeyUsage, kCertCreateCertificateContext,
  kCertGetCertificateContextProperty, kCryptEncryptMessage, kCryptSignMessage, kCryptSignAndEncryptMessage,
  kCryptDecryptMessage, kCryptDecryptAndVerifyMessageSignature, kCryptVerifyDetachedMessageSignature,
  kCryptVerifyMessageSignature, kCertDeleteCertificateFromStore, kCryptAcquireContextU, kPFXImportCertStore,
  kPFXExportCertStore, kCryptAcquireCertificatePrivateKey, kCertSetCertificateContextProperty,
  kCertAddEncodedCertificateToStore, kCertAddCertificateContextToStore, kCryptSignAndEncodeCertificate,
  kCryptExportPublicKeyInfo, kCryptEncodeObject, kCryptDecodeObject, kCryptFindOIDInfo, kCryptMsgOpenToDecode,
  kCryptMsgUpdate, kCryptMsgGetParam, kCryptMsgClose, kCryptVerifyCertificateSignature, kCertVerifyTimeValidity,
  kCryptImportPublicKeyInfo, kCrypt32EntryCount
};

// Loads "crypt32.dll" and binds its entry points, once; later calls do nothing.
void LoadCryptoLibrary();
// Frees the library and forgets the entry points (at unload; tests bind again after switching
// the library off or on).
void FreeCryptoLibrary();
// The bound entry point, or null.
win::FARPROC Crypt32Proc(Crypt32Entry entry);

// Calls a bound entry point: `Crypt32Call<&win::CertOpenStore>(kCertOpenStore, ...)`. One that is
// not bound is a failed platform call: it returns 0 (no store, no certificate, FALSE) with
// ERROR_PROC_NOT_FOUND as the last error.
template <auto Fn, class... Args>
auto Crypt32Call(Crypt32Entry entry, Args... args) {
  using R = decltype(Fn(args...));
  LoadCryptoLibrary();
  auto f = reinterpret_cast<decltype(Fn)>(Crypt32Proc(entry));
  if (f == nullptr) {
    win::SetLastError(win::ERROR_PROC_NOT_FOUND);
    if constexpr (std::is_void_v<R>) {
      return;
    } else {
      return R{};
    }
  } else {
    return f(args...);
  }
}

constexpr uint32_t kCertEncodingAny = win::X509_ASN_ENCODING | win::PKCS_7_ASN_ENCODING;
constexpr uint32_t kCertNameFlags = win::CERT_X500_NAME_STR | win::CERT_NAME_STR_NO_PLUS_FLAG;

// Opens the store of type 0 (current user) or 1 (local machine), finds the certificate of the
// subject and exports it into the store's entry list; the context found stays with the store. 202
// for another type; 0 with nothing opened for an empty subject; 271 when the store does not open,
// 272 when nothing fits, with the store's error text set.
int OpenSystemCertStore(CertStore* store, int32_t type, const char* name, const char* password,
                        const char* subject, win::PCCERT_CONTEXT* context, bool private_key_wanted);
// The open used for listing; null for a type other than 0 or 1, or when the store does not open.
win::HCERTSTORE OpenSystemStoreHandle(int32_t type, const char* name, bool read_only);
// The certificate after `previous` (null: the first) in the store, or null at the end; `previous`
// is freed.
win::PCCERT_CONTEXT NextStoreCertificate(win::HCERTSTORE handle, win::PCCERT_CONTEXT previous);
// Whether the context carries the property with a value.
bool ContextHasProperty(win::PCCERT_CONTEXT context, win::DWORD property);
// The certificate of the subject, into *context (an earlier one is freed first). 0, or 272.
int FindCertInSystemStore(CertStore* store, win::HCERTSTORE handle, const char* subject, bool private_key_wanted,
                          win::PCCERT_CONTEXT* context);
// The certificate with its key as PKCS #12 parsed into the list; when the key may not leave the
// platform, the certificate alone.
int ExportStoreCertificate(CertStore* store, CertEntryList* list, win::PCCERT_CONTEXT context);
// The certificate of a "CERTIFICATE" PEM text as a platform context. 0; the PEM decoder's code
// ("Failed to decode PEM file."), or 280 "The certificate could not be decoded" when the platform
// refuses the DER, as the store's error text.
int CreateCertContextFromPem(CertStore* store, const char* pem, int length, win::PCCERT_CONTEXT* context);

// A context's subject or issuer as the platform writes it (CERT_X500_NAME_STR with
// CERT_NAME_STR_NO_PLUS_FLAG), cut to fit `limit` bytes with the NUL.
int ContextNameText(win::PCCERT_CONTEXT context, bool issuer, ByteString* text, int limit);
// A context's serial number as lower-case hex, most significant byte first.
int ContextSerialHex(win::PCCERT_CONTEXT context, ByteString* hex);

}  // namespace tw
