#include "certs/key_provider.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "certs/cert_chain_engine.h"
#include "certs/cert_store.h"
#include "certs/key_blob.h"
#include "certs/pkcs12_container.h"
#include "certs/system_cert_store.h"
#include "foundation/text_conversion.h"
#include "platform/crypt32_store.h"
#include "platform/library.h"
#include "platform/time.h"

namespace tw {
namespace {

constexpr char kNoSelection[] = "No certificate selected.  Please select a certificate first.";
constexpr char kNotOpened[] = "The certificate store could not be opened.";
constexpr char kNoPrivateKey[] = "Cannot acquire private key";
constexpr char kNoProvider[] = "Could not acquire provider";
constexpr char kNotImported[] = "Could not import key";
constexpr char kNotAdded[] = "Cannot add certificate to store";
constexpr char kTemporaryContainer[] = "pem_key_%u";
constexpr int kNoCertificate = 281;
// Names tried before a free temporary container name is given up on.
constexpr int kContainerNameTries = 64;

int Fail(CertStore* store, int code, const char* text) {
  store->error_text.SetText(text);
  return code;
}

// The platform's error where the text names a platform call.
int PlatformFail(CertStore* store, const char* text) {
  const uint32_t error = win::GetLastError();
  store->error_text.SetText(text);
  return error != 0 ? static_cast<int>(error) : kErrStoreNotOpened;
}

std::u16string Utf16(const ByteString& text) {
  std::u16string out;
  for (int i = 0; i < text.length();) {
    const uint8_t b = text.bytes()[i];
    uint32_t c = b;
    int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (i + n > text.length() || (n > 1 && b < 0xC0)) n = 1;  // not UTF-8: taken as Latin-1
    if (n > 1) {
      c = b & (0x7F >> n);
      for (int k = 1; k < n; ++k) c = (c << 6) | (text.bytes()[i + k] & 0x3F);
    }
    i += n;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

void FreeContext(win::PCCERT_CONTEXT context) {
  Crypt32Call<&win::CertFreeCertificateContext>(kCertFreeCertificateContext, context);
}

// The context in `store` whose certificate is `der` (a copy, or null); the store is closed.
win::PCCERT_CONTEXT TakeFromStore(win::HCERTSTORE store, const ByteString& der) {
  win::PCCERT_CONTEXT found = nullptr;
  for (win::PCCERT_CONTEXT it = NextStoreCertificate(store, nullptr); it != nullptr;
       it = NextStoreCertificate(store, it)) {
    if (it->cbCertEncoded == static_cast<uint32_t>(der.length()) &&
        std::memcmp(it->pbCertEncoded, der.data(), it->cbCertEncoded) == 0) {
      found = it;
      break;
    }
  }
  Crypt32Call<&win::CertCloseStore>(kCertCloseStore, store, win::DWORD{0});
  return found;
}

// The context of the PFX whose certificate is `der`, with the key that came with it.
win::PCCERT_CONTEXT ImportPfx(const ByteString& content, const ByteString& password, const ByteString& der) {
  // Content given as Base64 text reaches the platform decoded.
  ByteString pfx;
  if (pfx.Assign(content) != kOk) return nullptr;
  if (LooksLikeBase64(pfx.c_str(), pfx.length()) && DecodeBase64(pfx, false, true, true) < 0) {
    WipeString(pfx);
    return nullptr;
  }
  std::u16string pass = Utf16(password);
  win::CRYPT_DATA_BLOB blob{static_cast<win::DWORD>(pfx.length()), const_cast<uint8_t*>(pfx.bytes())};
  win::HCERTSTORE store = Crypt32Call<&win::PFXImportCertStore>(kPFXImportCertStore,
                                                                static_cast<const win::CRYPT_DATA_BLOB*>(&blob),
                                                                static_cast<const char16_t*>(pass.c_str()),
                                                                win::CRYPT_EXPORTABLE);
  WipeBytes(pass.data(), pass.size() * sizeof(char16_t));
  WipeString(pfx);
  if (store == nullptr) return nullptr;
  return TakeFromStore(store, der);
}

// A system store's certificate as the platform's own context, with what the platform keeps of it
// (its key, its friendly name); null when the platform's store does not hold it.
win::PCCERT_CONTEXT FindInSystemStore(const CertStore& from, const ByteString& der) {
  win::HCERTSTORE store = OpenSystemStoreHandle(from.store_type, from.store.c_str(), true);
  return store == nullptr ? nullptr : TakeFromStore(store, der);
}

// The key goes into a new temporary container that the certificate is bound to.
int ImportIntoContainer(CertStore* store, const KeyPair& key, win::PCCERT_CONTEXT context, const char* rsa_provider) {
  PlatformCertState& st = store->platform;
  const char* rsa = rsa_provider != nullptr && *rsa_provider != '\0' ? rsa_provider : kRsaProviderName;
  const char* provider = key.type == kKeyDsa ? kDssProviderName : rsa;
  ByteString blob;
  int rc = WritePrivateKeyBlob(key, &blob);
  if (rc != kOk) return Fail(store, rc, kNotImported);
  // A fresh container each time: one whose name is taken belongs to another store's key and is
  // never imported over, so only a container this call created is used.
  ByteString name;
  rc = kErrNoProvider;
  const uint32_t tick = win::GetTickCount();
  for (int i = 0; i < kContainerNameTries && rc == kErrNoProvider; ++i) {
    if (name.Format(kTemporaryContainer, tick + static_cast<uint32_t>(i)) != kOk) return kErrOutOfMemory;
    rc = AcquireProvider(&st.provider, provider, name.c_str(), win::CRYPT_NEWKEYSET, false);
    if (rc == kErrNoProvider && win::GetLastError() != win::NTE_EXISTS) break;
  }
  if (rc != kOk) {
    WipeString(blob);
    return rc == kErrOutOfMemory ? rc : Fail(store, rc, kNoProvider);
  }
  st.temporary_container = true;
  const bool imported = win::CryptImportKey(st.provider.handle, blob.bytes(), static_cast<win::DWORD>(blob.length()), 0,
                                            win::CRYPT_EXPORTABLE, &st.provider.key);
  WipeString(blob);
  if (!imported) {
    rc = PlatformFail(store, kNotImported);
    st.Release();
    return rc;
  }
  std::u16string container = Utf16(st.provider.container);
  std::u16string provider_name = Utf16(st.provider.name);
  win::CRYPT_KEY_PROV_INFO info{container.data(), provider_name.data(), static_cast<win::DWORD>(st.provider.type),
                                st.provider.flags & win::CRYPT_MACHINE_KEYSET, 0, nullptr,
                                key.type == kKeyDsa ? win::AT_SIGNATURE : win::AT_KEYEXCHANGE};
  if (!Crypt32Call<&win::CertSetCertificateContextProperty>(kCertSetCertificateContextProperty, context,
                                                             win::CERT_KEY_PROV_INFO_PROP_ID, win::DWORD{0},
                                                             static_cast<const void*>(&info))) {
    return PlatformFail(store, kNotAdded);
  }
  return kOk;
}

}  // namespace

int32_t ProviderTypeOfName(const char* name, ByteString* bare) {
  if (name == nullptr) name = "";
  const char* colon = std::strchr(name, ':');
  if (bare != nullptr) bare->Set(name, colon ? static_cast<int>(colon - name) : static_cast<int>(std::strlen(name)));
  if (colon != nullptr) return static_cast<int32_t>(std::strtol(colon + 1, nullptr, 10));
  if (std::strstr(name, "AES") != nullptr) return win::PROV_RSA_AES;
  if (std::strstr(name, "DSS") != nullptr) return win::PROV_DSS;
  return win::PROV_RSA_FULL;
}

int AcquireProvider(ProviderHandle* record, const char* provider_name, const char* container, uint32_t flags,
                    bool create) {
  ReleaseProvider(record);
  const int32_t type = ProviderTypeOfName(provider_name, &record->name);
  int rc = record->container.SetText(container ? container : "");
  if (rc != kOk) return rc;
  record->type = type;
  const uint32_t tries[] = {flags, flags | win::CRYPT_MACHINE_KEYSET};
  for (uint32_t f : tries) {
    win::HCRYPTPROV h = 0;
    bool ok = win::CryptAcquireContextA(&h, container, record->name.c_str(), static_cast<win::DWORD>(type), f);
    if (!ok && create && win::GetLastError() == win::NTE_BAD_KEYSET) {
      f |= win::CRYPT_NEWKEYSET;
      ok = win::CryptAcquireContextA(&h, container, record->name.c_str(), static_cast<win::DWORD>(type), f);
    }
    if (ok) {
      record->handle = h;
      record->flags = f & ~win::CRYPT_NEWKEYSET;
      return kOk;
    }
  }
  return kErrNoProvider;
}

void ReleaseProvider(ProviderHandle* record) {
  if (record->key != 0) win::CryptDestroyKey(record->key);
  if (record->handle != 0) win::CryptReleaseContext(record->handle, 0);
  record->key = 0;
  record->handle = 0;
}

void PlatformCertState::Release() {
  if (context != nullptr) FreeContext(context);
  context = nullptr;
  // A handle the platform caches with the context went with it.
  if (provider_cached) provider.handle = 0;
  provider_cached = false;
  ReleaseProvider(&provider);
  if (temporary_container) {
    win::HCRYPTPROV none = 0;
    win::CryptAcquireContextA(&none, provider.container.c_str(), provider.name.c_str(),
                              static_cast<win::DWORD>(provider.type), provider.flags | win::CRYPT_DELETEKEYSET);
    temporary_container = false;
  }
}

int GetCertContext(CertStore* store, win::PCCERT_CONTEXT* out, const char* rsa_provider) {
  *out = nullptr;
  PlatformCertState& st = store->platform;
  if (st.context != nullptr) {
    *out = st.context;
    return kOk;
  }
  st.Release();
  const Certificate* cert = store->entries.SelectedCertificate();
  if (cert == nullptr || cert->der.empty()) return Fail(store, kNoCertificate, kNoSelection);
  LoadCryptoLibrary();
  const KeyPair* key = store->entries.SelectedKey();
  const bool with_key = key != nullptr && key->HasPrivate();
  const CertEntryList& list = store->entries;
  // PKCS #12 content goes through the platform's own import, with whatever key it holds.
  if (list.detectedType == cstPFXFile || list.detectedType == cstPFXBlob) {
    st.context = ImportPfx(list.content, store->password, cert->der);
    if (st.context != nullptr && with_key) {
      win::DWORD spec = 0;
      win::BOOL caller_free = 0;
      if (!Crypt32Call<&win::CryptAcquireCertificatePrivateKey>(
              kCryptAcquireCertificatePrivateKey, st.context, win::CRYPT_ACQUIRE_CACHE_FLAG,
              static_cast<void*>(nullptr), &st.provider.handle, &spec, &caller_free)) {
        const int rc = PlatformFail(store, kNoPrivateKey);
        st.Release();
        return rc;
      }
      st.provider_cached = caller_free == 0;
    }
  } else if (store->store_type == cstUser || store->store_type == cstMachine) {
    // The platform's context is taken only when it can sign with the key the store has.
    win::PCCERT_CONTEXT found = FindInSystemStore(*store, cert->der);
    if (found != nullptr && with_key && !ContextHasProperty(found, win::CERT_KEY_SPEC_PROP_ID)) {
      FreeContext(found);
      found = nullptr;
    }
    st.context = found;
  }
  // The content's other certificates go with the context, as a PFX's do, so that its chain can
  // be built from them.
  CertificateArray one;
  if (st.context == nullptr && with_key) {
    int added = one.InsertCopy(0, *cert);
    std::vector<ByteString> ders;
    CertificatesOfStoreFile(list.content.c_str(), list.content.length(), &ders);
    for (const ByteString& der : ders) {
      Certificate other;
      if (added == kOk && !der.Equals(cert->der) && ParseCertificateDer(der.data(), der.length(), &other) == kOk) {
        added = one.InsertCopy(one.Count(), other);
      }
    }
    if (added != kOk) return added;
  }
  if (st.context == nullptr && with_key && (one.Count() > 1 || (key->type != kKeyRsa && key->type != kKeyDsa))) {
    // No blob carries this key: a PFX made for it does.
    ByteString pfx, empty;
    const int rc = WritePfx(one, empty, key, "", &pfx);
    if (rc != kOk) return rc == kErrOutOfMemory ? rc : Fail(store, rc, kNoPrivateKey);
    st.context = ImportPfx(pfx, empty, cert->der);
    WipeString(pfx);
    if (st.context == nullptr) return PlatformFail(store, kNoPrivateKey);
  }
  if (st.context == nullptr) {
    const char* pem = nullptr;
    int length = 0;
    int rc = store->GetEncodedCertificate(&pem, &length);
    if (rc == kOk) rc = CreateCertContextFromPem(store, pem, length, &st.context);
    if (rc != kOk) return rc == kErrOutOfMemory ? rc : Fail(store, kErrStoreNotOpened, kNotOpened);
    if (with_key) {
      rc = ImportIntoContainer(store, *key, st.context, rsa_provider);
      if (rc != kOk) {
        st.Release();
        return rc;
      }
    }
  }
  *out = st.context;
  return kOk;
}

}  // namespace tw
