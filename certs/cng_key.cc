#include "certs/cng_key.h"

#include <cstring>
#include <mutex>

#include "crypto/pubkey/public_key.h"
#include "platform/library.h"

namespace tw {
namespace {

constexpr const char* kEntryPoints[] = {
    "NCryptOpenStorageProvider", "NCryptCreatePersistedKey", "NCryptSetProperty", "NCryptFinalizeKey",
    "NCryptExportKey",           "NCryptImportKey",          "NCryptSignHash",    "NCryptVerifySignature",
    "NCryptSecretAgreement",     "NCryptDeriveKey",          "NCryptFreeObject",
};
constexpr int kTlsPrfSeedLength = 64;

}  // namespace

// No key storage provider stands behind ncrypt on this platform (the layer registers none), so
// each operation answers as it does when the library is missing, after the checks that come first.
bool CngAvailable() {
  static std::once_flag once;
  static bool available = false;
  std::call_once(once, [] {
    win::HMODULE module = win::LoadLibraryA(kCngLibrary);
    if (module == nullptr) return;
    available = true;
    for (const char* name : kEntryPoints) available = available && win::GetProcAddress(module, name) != nullptr;
    win::FreeLibrary(module);
  });
  return available;
}

int CngGenerateEcKey(int curve_id, EcKeyData* out) { return kErrCngMissing; }

int CngImportEcKey(const EcKeyData& key, uintptr_t* handle) {
  if (handle != nullptr) *handle = 0;
  return kErrCngMissing;
}

int CngDeriveKey(uintptr_t key, const EcKeyData& peer, const char* kdf, const char* hash, const ByteString& label,
                 const ByteString& seed, ByteString* out) {
  if (kdf != nullptr && std::strcmp(kdf, "TLS_PRF") == 0) {
    if (label.empty()) return kErrEcPrfLabel;
    if (seed.length() != kTlsPrfSeedLength) return kErrEcPrfSeed;
  }
  return kErrCngMissing;
}

}  // namespace tw
