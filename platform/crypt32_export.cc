// crypt32's PFX export, over libcrypto.
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crypt32_objects.h"
#include "platform/crypt32_store.h"
#include "platform/key_container.h"
#include "platform/library.h"
#include "platform/private_key_blob.h"

namespace win {
namespace {

using crypt32::AsCert;
using crypt32::CertObject;

template <class F>
bool Bind(HMODULE module, const char* name, F* out) {
  *out = reinterpret_cast<F>(GetProcAddress(module, name));
  return *out != nullptr;
}

// The key that may leave with the certificate, as a new reference; null without one.
OsslPkey* ExportableKey(const CertObject& c) {
  if (c.key != nullptr) return c.ossl->EVP_PKEY_up_ref(c.key) == 1 ? c.key : nullptr;
  std::vector<uint8_t> blob;
  if (c.key_container.empty() || !ReadKeyContainerBlob(c.key_container, c.key_machine, &blob)) return nullptr;
  OsslPkey* key = PrivateKeyFromBlob(*c.ossl, blob.data(), blob.size());
  explicit_bzero(blob.data(), blob.size());
  return key;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

const crypt32::Crypt32Crypto* crypt32::LoadCrypt32Crypto() {
  static std::mutex lock;
  static Crypt32Crypto entries;
  static bool bound = false;
  std::lock_guard<std::mutex> guard(lock);
  if (bound) return &entries;
  HMODULE crypto = LoadLibraryA(kLibcryptoName);
  if (crypto == nullptr) return nullptr;
  Crypt32Crypto e{};
  bool ok = Bind(crypto, "X509_check_issued", &e.X509_check_issued);
  ok = Bind(crypto, "PKCS12_create", &e.PKCS12_create) && ok;
  ok = Bind(crypto, "i2d_PKCS12", &e.i2d_PKCS12) && ok;
  ok = Bind(crypto, "PEM_read_bio_PrivateKey", &e.PEM_read_bio_PrivateKey) && ok;
  ok = Bind(crypto, "X509_check_private_key", &e.X509_check_private_key) && ok;
  if (!ok) {
    FreeLibrary(crypto);
    return nullptr;
  }
  // The binding keeps its reference for the life of the process.
  entries = e;
  bound = true;
  return &entries;
}

BOOL PFXExportCertStore(HCERTSTORE store, CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags) {
  crypt32::MemoryStore* s = crypt32::AsStore(store);
  if (s == nullptr || pfx == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (s->certs.empty()) return Fail(CRYPT_E_NOT_FOUND);
  const crypt32::Crypt32Crypto* x = crypt32::LoadCrypt32Crypto();
  if (x == nullptr) return Fail(ERROR_MOD_NOT_FOUND);
  const OpenSslEntries& o = *AsCert(s->certs[0])->ossl;
  OsslPkey* key = nullptr;
  OsslX509* leaf = nullptr;
  OsslStack* others = o.OPENSSL_sk_new_null();
  if (others == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  DWORD error = ERROR_SUCCESS;
  for (PCCERT_CONTEXT context : s->certs) {
    const CertObject& c = *AsCert(context);
    const bool has_key = c.key != nullptr || !c.key_container.empty();
    if ((flags & EXPORT_PRIVATE_KEYS) != 0 && has_key && !c.key_exportable) {
      if ((flags & REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY) != 0) error = NTE_BAD_KEY_STATE;
    } else if ((flags & EXPORT_PRIVATE_KEYS) != 0 && has_key && key == nullptr) {
      key = ExportableKey(c);
      if (key == nullptr) error = NTE_BAD_KEY;
      if (key != nullptr) {
        leaf = c.x509;
        continue;
      }
    } else if (!has_key && (flags & REPORT_NO_PRIVATE_KEY) != 0) {
      error = NTE_NO_KEY;
    }
    if (error != ERROR_SUCCESS) break;
    o.OPENSSL_sk_push(others, c.x509);
  }
  std::vector<uint8_t> bytes;
  if (error == ERROR_SUCCESS) {
    if (leaf == nullptr) leaf = static_cast<OsslX509*>(o.OPENSSL_sk_value(others, 0));
    // The leaf goes once: as the certificate of the key, or as the first certificate.
    OsslStack* chain = o.OPENSSL_sk_new_null();
    for (int i = 0; chain != nullptr && i < o.OPENSSL_sk_num(others); ++i) {
      if (o.OPENSSL_sk_value(others, i) != leaf) o.OPENSSL_sk_push(chain, o.OPENSSL_sk_value(others, i));
    }
    std::string pass = crypt32::Utf8(password);
    OsslPkcs12* p12 = chain == nullptr ? nullptr : x->PKCS12_create(pass.c_str(), nullptr, key, leaf, chain, 0, 0, 0, 0, 0);
    explicit_bzero(pass.data(), pass.size());
    unsigned char* der = nullptr;
    const int n = p12 != nullptr ? x->i2d_PKCS12(p12, &der) : -1;
    if (n > 0) bytes.assign(der, der + n);
    if (der != nullptr) {
      explicit_bzero(der, static_cast<size_t>(n));
      std::free(der);
    }
    if (p12 != nullptr) o.PKCS12_free(p12);
    if (chain != nullptr) o.OPENSSL_sk_free(chain);
    if (bytes.empty()) error = NTE_FAIL;
  }
  o.OPENSSL_sk_free(others);
  if (key != nullptr) o.EVP_PKEY_free(key);
  o.ERR_clear_error();
  if (error != ERROR_SUCCESS) return Fail(error);
  const DWORD n = static_cast<DWORD>(bytes.size());
  BOOL result = TRUE;
  if (pfx->pbData != nullptr && pfx->cbData < n) {
    SetLastError(ERROR_MORE_DATA);
    result = FALSE;
  } else if (pfx->pbData != nullptr) {
    std::memcpy(pfx->pbData, bytes.data(), n);
  }
  pfx->cbData = n;
  explicit_bzero(bytes.data(), bytes.size());
  return result;
}

}  // namespace win
