#include "certs/system_cert_store.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "certs/cert_store.h"
#include "certs/distinguished_name.h"
#include "certs/pem_armor.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr const char* kEntryNames[kCrypt32EntryCount] = {
    "CertDuplicateCertificateContext", "CertFreeCertificateContext", "CertCloseStore", "CertNameToStrA",
    "CertFindCertificateInStore", "CertStrToNameA", "CertOpenSystemStoreA", "CertOpenStore",
    "CertVerifyCertificateChainPolicy", "CertGetCertificateChain", "CertFreeCertificateChain",
    "CertEnumSystemStore", "CertGetPublicKeyLength", "CertGetIntendedKeyUsage", "CertCreateCertificateContext",
    "CertGetCertificateContextProperty", "CryptEncryptMessage", "CryptSignMessage", "CryptSignAndEncryptMessage",
    "CryptDecryptMessage", "CryptDecryptAndVerifyMessageSignature", "CryptVerifyDetachedMessageSignature",
    "CryptVerifyMessageSignature", "CertDeleteCertificateFromStore", "CryptAcquireContextU", "PFXImportCertStore",
    "PFXExportCertStore", "CryptAcquireCertificatePrivateKey", "CertSetCertificateContextProperty",
    "CertAddEncodedCertificateToStore", "CertAddCertificateContextToStore", "CryptSignAndEncodeCertificate",
    "CryptExportPublicKeyInfo", "CryptEncodeObject", "CryptDecodeObject", "CryptFindOIDInfo",
    "CryptMsgOpenToDecode", "CryptMsgUpdate", "CryptMsgGetParam", "CryptMsgClose",
    "CryptVerifyCertificateSignature", "CertVerifyTimeValidity", "CryptImportPublicKeyInfo",
};

constexpr const char* kStoreNotOpened = "The certificate store could not be opened (%u).";
constexpr const char* kMemoryStoreNotOpened = "The certificate store could not be opened.";
constexpr const char* kNotFound = "The certificate could not be found (%u).";
constexpr const char* kNotAdded = "Cannot add certificate to store";
constexpr const char* kNotExported = "Cannot export certificate";
constexpr const char* kPemNotDecoded = "Failed to decode PEM file.";
constexpr const char* kNotDecoded = "The certificate could not be decoded";
constexpr int kErrCertNotDecoded = 280;
constexpr win::DWORD kOpenExisting = win::CERT_STORE_OPEN_EXISTING_FLAG;
constexpr int kNameBufferBytes = 2000;
constexpr int kCompareNameBytes = 1000;  // 999 characters and the NUL

// The export errors that mean the key stays on the platform.
constexpr win::DWORD kKeyStaysErrors[] = {win::CRYPT_E_NOT_FOUND, win::NTE_NO_KEY, win::NTE_BAD_KEY,
                                          win::NTE_BAD_KEY_STATE, win::NTE_PERM};

struct Library {
  std::mutex lock;
  bool loaded = false;
  win::HMODULE module = nullptr;
  win::FARPROC procs[kCrypt32EntryCount] = {};
};

Library& TheLibrary() {
  static Library* library = new Library;  // bound once and read by every thread afterwards
  return *library;
}

int PlatformError(ByteString* text, const char* what) {
  const win::DWORD error = win::GetLastError();
  text->SetText(what);
  return error != 0 ? static_cast<int>(error) : kErrStoreNotOpened;
}

win::PCCERT_CONTEXT Find(win::HCERTSTORE handle, win::DWORD type, const void* para, win::PCCERT_CONTEXT previous) {
  return Crypt32Call<&win::CertFindCertificateInStore>(kCertFindCertificateInStore, handle, kCertEncodingAny,
                                                        win::DWORD{0}, type, para, previous);
}

// One pass of the search: the encoded name, the enumeration, the platform's substring match.
win::PCCERT_CONTEXT FindOnce(win::HCERTSTORE handle, const std::string& subject, bool private_key_wanted) {
  if (subject[0] != '*') {
    uint8_t name[kNameBufferBytes];
    win::DWORD size = sizeof name;
    if (Crypt32Call<&win::CertStrToNameA>(kCertStrToNameA, kCertEncodingAny, subject.c_str(), win::CERT_X500_NAME_STR,
                                          static_cast<void*>(nullptr), name, &size,
                                          static_cast<const char**>(nullptr))) {
      win::CRYPT_DATA_BLOB blob{size, name};
      if (win::PCCERT_CONTEXT c = Find(handle, win::CERT_FIND_SUBJECT_NAME, &blob, nullptr)) return c;
    }
  }
  const bool any = subject == "*";
  ByteString wanted_normal;
  if (!any) NormalizeDistinguishedName(subject.c_str(), &wanted_normal);
  for (win::PCCERT_CONTEXT c = NextStoreCertificate(handle, nullptr); c != nullptr;
       c = NextStoreCertificate(handle, c)) {
    if (any) {
      if (!private_key_wanted || ContextHasProperty(c, win::CERT_KEY_PROV_INFO_PROP_ID)) return c;
      continue;
    }
    ByteString text, normal;
    ContextNameText(c, false, &text, kCompareNameBytes);
    if (std::strcmp(text.c_str(), subject.c_str()) == 0) return c;
    NormalizeDistinguishedName(text.c_str(), &normal);
    if (!normal.empty() && std::strcmp(normal.c_str(), wanted_normal.c_str()) == 0) return c;
  }
  return Find(handle, win::CERT_FIND_SUBJECT_STR_A, subject.c_str(), nullptr);
}

}  // namespace

win::PCCERT_CONTEXT NextStoreCertificate(win::HCERTSTORE handle, win::PCCERT_CONTEXT previous) {
  return Find(handle, win::CERT_FIND_ANY, nullptr, previous);
}

bool ContextHasProperty(win::PCCERT_CONTEXT context, win::DWORD property) {
  win::DWORD size = 0;
  return Crypt32Call<&win::CertGetCertificateContextProperty>(kCertGetCertificateContextProperty, context, property,
                                                               static_cast<void*>(nullptr), &size) &&
         size > 0;
}

void LoadCryptoLibrary() {
  Library& l = TheLibrary();
  std::lock_guard<std::mutex> guard(l.lock);
  if (l.loaded) return;
  l.loaded = true;
  const win::DWORD before = win::GetLastError();
  l.module = win::LoadLibraryA("crypt32.dll");
  for (int i = 0; l.module != nullptr && i < kCrypt32EntryCount; ++i) {
    l.procs[i] = win::GetProcAddress(l.module, kEntryNames[i]);
  }
  win::SetLastError(before);
}

void FreeCryptoLibrary() {
  Library& l = TheLibrary();
  std::lock_guard<std::mutex> guard(l.lock);
  if (l.module != nullptr) win::FreeLibrary(l.module);
  l.module = nullptr;
  l.loaded = false;
  for (win::FARPROC& p : l.procs) p = nullptr;
}

win::FARPROC Crypt32Proc(Crypt32Entry entry) {
  Library& l = TheLibrary();
  std::lock_guard<std::mutex> guard(l.lock);
  return entry >= 0 && entry < kCrypt32EntryCount ? l.procs[entry] : nullptr;
}

int ContextNameText(win::PCCERT_CONTEXT context, bool issuer, ByteString* text, int limit) {
  std::vector<char> name(static_cast<size_t>(limit), '\0');
  const win::CERT_INFO* info = context != nullptr ? context->pCertInfo : nullptr;
  if (info != nullptr) {
    Crypt32Call<&win::CertNameToStrA>(kCertNameToStrA, kCertEncodingAny, issuer ? &info->Issuer : &info->Subject,
                                      kCertNameFlags, name.data(), static_cast<uint32_t>(limit));
  }
  name.back() = '\0';
  return text->SetText(name.data());
}

int ContextSerialHex(win::PCCERT_CONTEXT context, ByteString* hex) {
  static const char kHex[] = "0123456789abcdef";
  hex->Reset();
  const win::CERT_INFO* info = context != nullptr ? context->pCertInfo : nullptr;
  int rc = kOk;
  // The platform keeps the bytes little-endian.
  for (uint32_t i = info != nullptr ? info->SerialNumber.cbData : 0; rc == kOk && i > 0; --i) {
    const uint8_t b = info->SerialNumber.pbData[i - 1];
    const char pair[2] = {kHex[b >> 4], kHex[b & 15]};
    rc = hex->Append(pair, 2);
  }
  return rc;
}

win::HCERTSTORE OpenSystemStoreHandle(int32_t type, const char* name, bool read_only) {
  if (type != cstUser && type != cstMachine) return nullptr;
  win::DWORD flags = (type == cstUser ? win::CERT_SYSTEM_STORE_CURRENT_USER : win::CERT_SYSTEM_STORE_LOCAL_MACHINE) |
                     kOpenExisting;
  if (read_only) flags |= win::CERT_STORE_READONLY_FLAG;
  return Crypt32Call<&win::CertOpenStore>(kCertOpenStore, win::CERT_STORE_PROV_SYSTEM_A, win::DWORD{0},
                                          win::HCRYPTPROV{0}, flags, static_cast<const void*>(name ? name : ""));
}

int OpenSystemCertStore(CertStore* store, int32_t type, const char* name, const char* password, const char* subject,
                        win::PCCERT_CONTEXT* context, bool private_key_wanted) {
  (void)password;  // the platform's store holds its keys already imported
  if (type != cstUser && type != cstMachine) return kErrStoreNotSystem;
  if (subject == nullptr || *subject == '\0') return kOk;
  win::HCERTSTORE handle = OpenSystemStoreHandle(type, name, false);
  if (handle == nullptr) {
    store->error_text.Format(kStoreNotOpened, win::GetLastError());
    return kErrStoreNotOpened;
  }
  const int rc = FindCertInSystemStore(store, handle, subject, private_key_wanted, context);
  const win::DWORD error = win::GetLastError();
  Crypt32Call<&win::CertCloseStore>(kCertCloseStore, handle, win::DWORD{0});
  win::SetLastError(error);
  return rc;
}

int FindCertInSystemStore(CertStore* store, win::HCERTSTORE handle, const char* subject, bool private_key_wanted,
                          win::PCCERT_CONTEXT* context) {
  if (*context != nullptr) Crypt32Call<&win::CertFreeCertificateContext>(kCertFreeCertificateContext, *context);
  *context = nullptr;
  if (subject == nullptr || *subject == '\0') return kOk;
  std::string wanted(subject);
  *context = FindOnce(handle, wanted, private_key_wanted);
  // "CN=name" is tried again as the bare name, which the substring match finds anywhere.
  if (*context == nullptr && wanted.rfind("CN=", 0) == 0 && wanted.size() > 3) {
    *context = FindOnce(handle, wanted.substr(3), private_key_wanted);
  }
  if (*context != nullptr) return kOk;
  if (store->error_text.empty()) store->error_text.Format(kNotFound, static_cast<unsigned>(win::GetLastError()));
  return kErrStoreCertNotFound;
}

int ExportStoreCertificate(CertStore* store, CertEntryList* list, win::PCCERT_CONTEXT context) {
  win::HCERTSTORE memory = Crypt32Call<&win::CertOpenStore>(kCertOpenStore, win::CERT_STORE_PROV_MEMORY, win::DWORD{0},
                                                            win::HCRYPTPROV{0}, win::DWORD{0},
                                                            static_cast<const void*>(nullptr));
  if (memory == nullptr) {
    store->error_text.SetText(kMemoryStoreNotOpened);
    return kErrStoreNotOpened;
  }
  auto close = [&] { Crypt32Call<&win::CertCloseStore>(kCertCloseStore, memory, win::DWORD{0}); };
  if (!Crypt32Call<&win::CertAddCertificateContextToStore>(kCertAddCertificateContextToStore, memory, context,
                                                            win::CERT_STORE_ADD_REPLACE_EXISTING,
                                                            static_cast<win::PCCERT_CONTEXT*>(nullptr))) {
    const int rc = PlatformError(&store->error_text, kNotAdded);
    close();
    return rc;
  }
  constexpr win::DWORD kExportFlags =
      win::EXPORT_PRIVATE_KEYS | win::REPORT_NO_PRIVATE_KEY | win::REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY;
  win::CRYPT_DATA_BLOB blob{0, nullptr};
  int32_t detected = 0;
  if (!Crypt32Call<&win::PFXExportCertStore>(kPFXExportCertStore, memory, &blob, u"", kExportFlags)) {
    const win::DWORD error = win::GetLastError();
    close();
    for (win::DWORD stays : kKeyStaysErrors) {
      if (error != stays) continue;
      // The certificate alone; its context signs through the platform.
      return ParseStoreBytes(list, context->pbCertEncoded, static_cast<int>(context->cbCertEncoded), "", nullptr,
                             &detected, &store->error_text);
    }
    win::SetLastError(error);
    return PlatformError(&store->error_text, kNotExported);
  }
  std::vector<uint8_t> pfx(blob.cbData);
  blob.pbData = pfx.data();
  const bool exported =
      Crypt32Call<&win::PFXExportCertStore>(kPFXExportCertStore, memory, &blob, u"", kExportFlags) != 0;
  int rc = exported ? kOk : PlatformError(&store->error_text, kNotExported);
  close();
  if (rc == kOk) {
    rc = ParseStoreBytes(list, pfx.data(), static_cast<int>(blob.cbData), "", nullptr, &detected, &store->error_text);
  }
  WipeBytes(pfx.data(), pfx.size());
  return rc;
}

int CreateCertContextFromPem(CertStore* store, const char* pem, int length, win::PCCERT_CONTEXT* context) {
  *context = nullptr;
  ByteString der;
  int rc = PemDecodeWithLabel(&der, "CERTIFICATE", pem, length);
  if (rc != kOk) {
    store->error_text.SetText(kPemNotDecoded);
    return rc;
  }
  *context = Crypt32Call<&win::CertCreateCertificateContext>(kCertCreateCertificateContext, kCertEncodingAny,
                                                              der.bytes(), static_cast<uint32_t>(der.length()));
  if (*context == nullptr) {
    store->error_text.SetText(kNotDecoded);
    return kErrCertNotDecoded;
  }
  return kOk;
}

}  // namespace tw
