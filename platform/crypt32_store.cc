#include "platform/crypt32_store.h"

#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/cert_store_files.h"
#include "platform/codepage.h"
#include "platform/crypt32_objects.h"
#include "platform/private_key_blob.h"

namespace win {
namespace {

using crypt32::AsCert;
using crypt32::AsStore;
using crypt32::CertObject;
using crypt32::MemoryStore;

constexpr DWORD kLocationMask = 0xFFFF0000;
constexpr DWORD kErrorBadCertificate = 0x8009310B;  // CRYPT_E_ASN1_BADTAG
constexpr char16_t kRsaProvider[] = u"Microsoft Enhanced RSA and AES Cryptographic Provider";

bool MachineLocation(DWORD flags) { return (flags & kLocationMask) == CERT_SYSTEM_STORE_LOCAL_MACHINE; }

MemoryStore* NewStore() {
  auto* s = new MemoryStore;
  crypt32::Track(s, true);
  return s;
}

template <class F>
FARPROC Proc(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

void FreeStack(const OpenSslEntries& o, OsslStack* stack) {
  if (stack == nullptr) return;
  for (int i = 0; i < o.OPENSSL_sk_num(stack); ++i) o.X509_free(static_cast<OsslX509*>(o.OPENSSL_sk_value(stack, i)));
  o.OPENSSL_sk_free(stack);
}

// A context handed out from the store knows it, so it can be deleted from it.
PCCERT_CONTEXT HandOut(MemoryStore* s, PCCERT_CONTEXT held) {
  PCCERT_CONTEXT copy = CertDuplicateCertificateContext(held);
  if (CertObject* c = AsCert(copy)) c->owner = s;
  return copy;
}

// The SHA-1 thumbprint in hex names the file of a certificate added to a system store.
std::string ThumbprintName(const CertObject& c) {
  unsigned char md[20];
  unsigned int n = 0;
  const OsslMd* sha1 = c.ossl->EVP_get_digestbyname("SHA1");
  if (sha1 == nullptr || c.ossl->X509_digest(c.x509, sha1, md, &n) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out + ".cer";
}

// The private key of a PEM store file without a password, or null.
OsslPkey* PemFileKey(const OpenSslEntries& o, const std::string& bytes) {
  const crypt32::Crypt32Crypto* x = crypt32::LoadCrypt32Crypto();
  if (x == nullptr || bytes.find("PRIVATE KEY-----") == std::string::npos) return nullptr;
  OsslBio* bio = o.BIO_new(o.BIO_s_mem());
  if (bio == nullptr) return nullptr;
  o.BIO_write(bio, bytes.data(), static_cast<int>(bytes.size()));
  static char empty[] = "";
  OsslPkey* key = x->PEM_read_bio_PrivateKey(bio, nullptr, nullptr, empty);
  o.BIO_free(bio);
  o.ERR_clear_error();
  return key;
}

bool WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wbx");
  if (f == nullptr) return errno == EEXIST;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

MemoryStore* crypt32::AsStore(HCERTSTORE store) {
  return store != nullptr && Tracked(store) ? static_cast<MemoryStore*>(store) : nullptr;
}

HCERTSTORE CertOpenStore(uintptr_t provider, DWORD encoding, HCRYPTPROV crypt_provider, DWORD flags,
                         const void* para) {
  if (provider == CERT_STORE_PROV_MEMORY) return NewStore();
  if (provider != CERT_STORE_PROV_SYSTEM_A) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  const OpenSslEntries* o = LoadOpenSsl();
  if (o == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const char* name = static_cast<const char*>(para);
  const bool machine = MachineLocation(flags);
  std::vector<CertStoreFile> files;
  const uint32_t error = ReadCertStoreFiles(name, &files, machine);
  if (error != 0) {
    SetLastError(error);
    return nullptr;
  }
  MemoryStore* s = NewStore();
  s->read_only = (flags & CERT_STORE_READONLY_FLAG) != 0;
  if (!IsSystemCertStore(name)) s->folder = CertStoresFolder(machine) + "/" + name;
  for (CertStoreFile& f : files) {
    // A PFX that opens without a password brings its keys; anything else is read for its
    // certificates.
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(f.contents.size()), reinterpret_cast<uint8_t*>(f.contents.data())};
    const size_t first = s->certs.size();
    if (HCERTSTORE pfx = f.contents.empty() ? nullptr : PFXImportCertStore(&blob, u"", 0)) {
      MemoryStore* from = AsStore(pfx);
      s->certs.insert(s->certs.end(), from->certs.begin(), from->certs.end());
      from->certs.clear();
      CertCloseStore(pfx, 0);
    } else {
      std::vector<OsslX509*> certs;
      crypt32::ReadStoreFileCerts(*o, f.contents, &certs);
      OsslPkey* key = PemFileKey(*o, f.contents);
      for (OsslX509* x : certs) {
        PCCERT_CONTEXT c = NewCertContext(*o, x, {});
        if (c != nullptr) s->certs.push_back(c);
        if (c != nullptr && key != nullptr && crypt32::LoadCrypt32Crypto()->X509_check_private_key(x, key) == 1) {
          AsCert(c)->key = key;  // a PEM file of a certificate and its key brings both
          key = nullptr;
        }
        o->X509_free(x);
      }
      if (key != nullptr) o->EVP_PKEY_free(key);
    }
    for (size_t i = first; i < s->certs.size(); ++i) {
      CertObject* c = AsCert(s->certs[i]);
      c->source_file = f.path;
      c->key_exportable = f.key_exportable;
    }
    explicit_bzero(f.contents.data(), f.contents.size());
  }
  SetLastError(ERROR_SUCCESS);
  return s;
}

BOOL CertEnumSystemStore(DWORD flags, void* location, void* arg, PFN_CERT_ENUM_SYSTEM_STORE callback) {
  if (callback == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> names = {"ROOT", "CA"};
  const std::vector<std::string> found = CertStoreFolderNames(MachineLocation(flags));
  names.insert(names.end(), found.begin(), found.end());
  for (const std::string& name : names) {
    std::u16string wide(name.begin(), name.end());  // folder names of 8-bit text, shown as such
    if (!callback(wide.c_str(), flags, nullptr, nullptr, arg)) break;
  }
  return TRUE;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD find_flags, DWORD find_type,
                                          const void* para, PCCERT_CONTEXT previous) {
  for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, previous); it != nullptr;
       it = CertEnumCertificatesInStore(store, it)) {
    if (find_type == CERT_FIND_ANY) return it;
    const CertObject* c = AsCert(it);
    if (find_type == CERT_FIND_SUBJECT_STR_A && para != nullptr) {
      const DWORD n = CertNameToStrA(X509_ASN_ENCODING, &c->info.Subject, CERT_SIMPLE_NAME_STR, nullptr, 0);
      std::string subject(n, '\0');
      CertNameToStrA(X509_ASN_ENCODING, &c->info.Subject, CERT_SIMPLE_NAME_STR, subject.data(), n);
      if (strcasestr(subject.c_str(), static_cast<const char*>(para)) != nullptr) return it;
    } else if (find_type == CERT_FIND_SUBJECT_NAME && para != nullptr) {
      const auto* wanted = static_cast<const CERT_NAME_BLOB*>(para);
      const CERT_NAME_BLOB& have = c->info.Subject;
      if (have.cbData != 0 && have.cbData == wanted->cbData && wanted->pbData != nullptr &&
          std::memcmp(have.pbData, wanted->pbData, wanted->cbData) == 0) {
        return it;
      }
    } else {
      CertFreeCertificateContext(it);
      SetLastError(ERROR_NOT_SUPPORTED);
      return nullptr;
    }
  }
  SetLastError(CRYPT_E_NOT_FOUND);
  return nullptr;
}

BOOL CertCloseStore(HCERTSTORE store, DWORD flags) {
  MemoryStore* s = AsStore(store);
  if (s == nullptr) return TRUE;
  crypt32::Track(s, false);
  for (PCCERT_CONTEXT c : s->certs) CertFreeCertificateContext(c);
  delete s;
  return TRUE;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
  const CertObject* c = AsCert(context);
  if (c == nullptr) return nullptr;
  PCCERT_CONTEXT copy = NewCertContext(*c->ossl, c->x509, c->store.certs);
  CertObject* d = AsCert(copy);
  if (d == nullptr) return nullptr;
  d->key_container = c->key_container;
  d->key_machine = c->key_machine;
  d->key_spec = c->key_spec;
  d->key_provider = c->key_provider;
  d->key_provider_type = c->key_provider_type;
  d->key_exportable = c->key_exportable;
  d->source_file = c->source_file;
  d->owner = c->owner;
  if (c->key != nullptr && c->ossl->EVP_PKEY_up_ref(c->key) == 1) d->key = c->key;
  return copy;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                      PCCERT_CONTEXT* added) {
  if (added != nullptr) *added = nullptr;
  MemoryStore* s = AsStore(store);
  const CertObject* c = AsCert(context);
  if (s == nullptr || c == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (size_t i = 0; i < s->certs.size(); ++i) {
    const CertObject* held = AsCert(s->certs[i]);
    if (held == nullptr || held->der != c->der) continue;
    if (disposition == CERT_STORE_ADD_NEW) {
      SetLastError(CRYPT_E_EXISTS);
      return FALSE;
    }
    CertFreeCertificateContext(s->certs[i]);
    s->certs.erase(s->certs.begin() + static_cast<long>(i));
    break;
  }
  if (!s->folder.empty() && s->read_only) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  PCCERT_CONTEXT copy = CertDuplicateCertificateContext(context);
  if (copy == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  CertObject* held = AsCert(copy);
  held->owner = nullptr;
  if (!s->folder.empty()) {
    held->source_file = s->folder + "/" + ThumbprintName(*held);
    if (!WriteWhole(held->source_file, held->der)) {
      CertFreeCertificateContext(copy);
      SetLastError(ERROR_WRITE_FAULT);
      return FALSE;
    }
  }
  s->certs.push_back(copy);
  if (added != nullptr) *added = HandOut(s, copy);
  return TRUE;
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const uint8_t* encoded, DWORD length,
                                      DWORD disposition, PCCERT_CONTEXT* added) {
  if (added != nullptr) *added = nullptr;
  PCCERT_CONTEXT c = CertCreateCertificateContext(encoding, encoded, length);
  if (c == nullptr) return FALSE;
  const BOOL ok = CertAddCertificateContextToStore(store, c, disposition, added);
  const DWORD error = GetLastError();
  CertFreeCertificateContext(c);
  SetLastError(error);
  return ok;
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context) {
  CertObject* c = AsCert(context);
  MemoryStore* s = c != nullptr ? AsStore(c->owner) : nullptr;
  DWORD error = c == nullptr ? ERROR_INVALID_PARAMETER : CRYPT_E_NOT_FOUND;
  for (size_t i = 0; s != nullptr && i < s->certs.size(); ++i) {
    CertObject* held = AsCert(s->certs[i]);
    if (held == nullptr || held->der != c->der) continue;
    if (!s->folder.empty() && s->read_only) {
      error = ERROR_ACCESS_DENIED;
      break;
    }
    // A file that holds other certificates too stays; only this copy of the store forgets it.
    size_t sharing = 0;
    for (PCCERT_CONTEXT other : s->certs) sharing += AsCert(other)->source_file == held->source_file;
    if (!s->folder.empty() && sharing == 1 && !held->source_file.empty()) ::unlink(held->source_file.c_str());
    CertFreeCertificateContext(s->certs[i]);
    s->certs.erase(s->certs.begin() + static_cast<long>(i));
    error = ERROR_SUCCESS;
    break;
  }
  CertFreeCertificateContext(context);
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, void* reserved, HCRYPTPROV* provider,
                                       DWORD* key_spec, BOOL* caller_free) {
  CertObject* c = AsCert(context);
  if (c == nullptr || provider == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool cache = (flags & CRYPT_ACQUIRE_CACHE_FLAG) != 0;
  HCRYPTPROV handle = cache ? c->cached_provider : 0;
  if (handle == 0 && !c->key_container.empty()) {
    if (!KeyContainerAcquire(&handle, c->key_container.c_str(), c->key_provider.c_str(), c->key_provider_type,
                             c->key_machine ? CRYPT_MACHINE_KEYSET : 0)) {
      return FALSE;
    }
  } else if (handle == 0 && c->key != nullptr) {
    // A key that came from a PFX stays with the context; the handle names its provider.
    const std::string name = crypt32::Utf8(kRsaProvider);
    if (!KeyContainerAcquire(&handle, nullptr, name.c_str(), PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return FALSE;
  } else if (handle == 0) {
    SetLastError(CRYPT_E_NO_KEY_PROPERTY);
    return FALSE;
  }
  if (cache) c->cached_provider = handle;
  *provider = handle;
  if (key_spec != nullptr) *key_spec = c->key_spec != 0 ? c->key_spec : AT_KEYEXCHANGE;
  if (caller_free != nullptr) *caller_free = cache ? FALSE : TRUE;
  return TRUE;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous) {
  MemoryStore* s = AsStore(store);
  size_t next = 0;
  if (previous != nullptr) {
    const CertObject* p = AsCert(previous);
    next = s != nullptr ? s->certs.size() : 0;
    for (size_t i = 0; s != nullptr && p != nullptr && i < s->certs.size(); ++i) {
      if (AsCert(s->certs[i])->der == p->der) next = i + 1;
    }
    CertFreeCertificateContext(previous);
  }
  if (s == nullptr || next >= s->certs.size()) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  }
  return HandOut(s, s->certs[next]);
}

HCERTSTORE PFXImportCertStore(const CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags) {
  const OpenSslEntries* o = LoadOpenSsl();
  if (o == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (pfx == nullptr || pfx->pbData == nullptr || pfx->cbData == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const unsigned char* p = pfx->pbData;
  OsslPkcs12* p12 = o->d2i_PKCS12(nullptr, &p, static_cast<long>(pfx->cbData));
  if (p12 == nullptr) {
    o->ERR_clear_error();
    SetLastError(NTE_BAD_DATA);
    return nullptr;
  }
  std::string pass = crypt32::Utf8(password);
  OsslPkey* key = nullptr;
  OsslX509* leaf = nullptr;
  OsslStack* others = nullptr;
  const int parsed = o->PKCS12_parse(p12, pass.c_str(), &key, &leaf, &others);
  explicit_bzero(pass.data(), pass.size());
  o->PKCS12_free(p12);
  o->ERR_clear_error();
  if (parsed != 1) {
    SetLastError(ERROR_INVALID_PASSWORD);
    return nullptr;
  }
  MemoryStore* s = NewStore();
  bool ok = true;
  // Each context sees the PFX's other certificates as its own store, for building its chain.
  std::vector<OsslX509*> all;
  if (leaf != nullptr) all.push_back(leaf);
  for (int i = 0; others != nullptr && i < o->OPENSSL_sk_num(others); ++i) {
    all.push_back(static_cast<OsslX509*>(o->OPENSSL_sk_value(others, i)));
  }
  auto rest = [&all](OsslX509* self) {
    std::vector<OsslX509*> v;
    for (OsslX509* x : all) {
      if (x != self) v.push_back(x);
    }
    return v;
  };
  if (leaf != nullptr) {
    PCCERT_CONTEXT c = NewCertContext(*o, leaf, rest(leaf));
    if (CertObject* object = AsCert(c)) {
      object->key = key;
      key = nullptr;
      s->certs.push_back(c);
    } else {
      ok = false;
    }
  }
  for (int i = 0; ok && others != nullptr && i < o->OPENSSL_sk_num(others); ++i) {
    auto* x = static_cast<OsslX509*>(o->OPENSSL_sk_value(others, i));
    PCCERT_CONTEXT c = NewCertContext(*o, x, rest(x));
    if (c == nullptr) ok = false;
    if (c != nullptr) s->certs.push_back(c);
  }
  if (key != nullptr) o->EVP_PKEY_free(key);
  if (leaf != nullptr) o->X509_free(leaf);
  FreeStack(*o, others);
  if (!ok) {
    CertCloseStore(s, 0);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return s;
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, DWORD flags, const void* data) {
  CertObject* c = AsCert(context);
  if (c == nullptr || property != CERT_KEY_PROV_INFO_PROP_ID) {
    SetLastError(c == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (data == nullptr) {
    c->key_container.clear();
    return TRUE;
  }
  const auto* info = static_cast<const CRYPT_KEY_PROV_INFO*>(data);
  const std::string name = crypt32::Utf8(info->pwszContainerName);
  if (name.empty()) {
    SetLastError(NTE_BAD_KEYSET_PARAM);
    return FALSE;
  }
  c->key_container = name;
  c->key_provider = crypt32::Utf8(info->pwszProvName);
  c->key_provider_type = info->dwProvType;
  c->key_machine = (info->dwFlags & CRYPT_MACHINE_KEYSET) != 0;
  c->key_spec = info->dwKeySpec;
  return TRUE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, void* data, DWORD* size) {
  const CertObject* c = AsCert(context);
  if (c == nullptr || size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string value;
  const bool has_key = c->key != nullptr || !c->key_container.empty();
  if (property == CERT_KEY_PROV_INFO_PROP_ID && has_key) {
    // The record, then its two texts; the record's pointers point behind it into the caller's copy.
    const std::u16string container(c->key_container.begin(), c->key_container.end());
    const std::u16string provider(c->key_provider.begin(), c->key_provider.end());
    const size_t head = (sizeof(CRYPT_KEY_PROV_INFO) + 1) / sizeof(char16_t);
    value.assign(head, u'\0');
    value += container + u'\0' + (provider.empty() ? std::u16string(kRsaProvider) : provider) + u'\0';
    if (data != nullptr && *size >= value.size() * sizeof(char16_t)) {
      auto* base = static_cast<char16_t*>(data);
      CRYPT_KEY_PROV_INFO info{base + head, base + head + container.size() + 1,
                               c->key_provider_type != 0 ? c->key_provider_type : PROV_RSA_AES,
                               c->key_machine ? CRYPT_MACHINE_KEYSET : 0, 0, nullptr,
                               c->key_spec != 0 ? c->key_spec : AT_KEYEXCHANGE};
      std::memcpy(value.data(), &info, sizeof info);
    }
  } else if (property == CERT_KEY_SPEC_PROP_ID && has_key) {
    const DWORD spec = c->key_spec != 0 ? c->key_spec : AT_KEYEXCHANGE;
    value.assign(reinterpret_cast<const char16_t*>(&spec), sizeof spec / sizeof(char16_t));
  } else if (property == CERT_FRIENDLY_NAME_PROP_ID) {
    // PFX import leaves the bag's friendly name on the certificate, as UTF-8.
    int length = 0;
    const unsigned char* name = c->ossl->X509_alias_get0(c->x509, &length);
    const char* text = reinterpret_cast<const char*>(name);
    const int n = name != nullptr && length > 0 ? MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0) : 0;
    if (n > 0) {
      value.resize(static_cast<size_t>(n) + 1);
      MultiByteToWideChar(CP_UTF8, 0, text, length, value.data(), n);
    }
  }
  if (value.empty()) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return FALSE;
  }
  const DWORD bytes = static_cast<DWORD>(value.size() * sizeof(char16_t));
  if (data != nullptr && *size < bytes) {
    *size = bytes;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (data != nullptr) std::memcpy(data, value.data(), bytes);
  *size = bytes;
  return TRUE;
}

bool CertContextCredentials(PCCERT_CONTEXT context, const OpenSslEntries** ossl, OsslX509** cert,
                            OsslPkey** key) {
  const CertObject* c = AsCert(context);
  if (c == nullptr) return false;
  const OpenSslEntries& o = *c->ossl;
  OsslPkey* k = nullptr;
  if (c->key != nullptr) {
    if (o.EVP_PKEY_up_ref(c->key) == 1) k = c->key;
  } else if (!c->key_container.empty()) {
    std::vector<uint8_t> blob;
    if (ReadKeyContainerBlob(c->key_container, c->key_machine, &blob)) {
      k = PrivateKeyFromBlob(o, blob.data(), blob.size());
      explicit_bzero(blob.data(), blob.size());
    }
  }
  if (k == nullptr) return false;
  o.X509_up_ref(c->x509);
  *ossl = &o;
  *cert = c->x509;
  *key = k;
  return true;
}

std::span<const ProcEntry> Crypt32StoreExports() {
  static const ProcEntry exports[] = {
      {"CertOpenStore", Proc(&CertOpenStore)},
      {"CertEnumSystemStore", Proc(&CertEnumSystemStore)},
      {"CertFindCertificateInStore", Proc(&CertFindCertificateInStore)},
      {"CertCloseStore", Proc(&CertCloseStore)},
      {"CertAddCertificateContextToStore", Proc(&CertAddCertificateContextToStore)},
      {"CertAddEncodedCertificateToStore", Proc(&CertAddEncodedCertificateToStore)},
      {"CertDeleteCertificateFromStore", Proc(&CertDeleteCertificateFromStore)},
      {"CertDuplicateCertificateContext", Proc(&CertDuplicateCertificateContext)},
      {"CertStrToNameA", Proc(&CertStrToNameA)},
      {"PFXImportCertStore", Proc(&PFXImportCertStore)},
      {"PFXExportCertStore", Proc(&PFXExportCertStore)},
      {"CryptAcquireCertificatePrivateKey", Proc(&CryptAcquireCertificatePrivateKey)},
      {"CertSetCertificateContextProperty", Proc(&CertSetCertificateContextProperty)},
      {"CertGetCertificateContextProperty", Proc(&CertGetCertificateContextProperty)},
  };
  return exports;
}

}  // namespace win
