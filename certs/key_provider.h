// Keys handed to the platform's key providers: provider handles, the temporary key container of
// a store's selected key, and the selection as a platform certificate context with its key.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "platform/key_container.h"
#include "platform/sspi.h"

namespace tw {

class CertStore;

// No provider could be acquired, not even with the machine key set.
constexpr int kErrNoProvider = 221;

constexpr char kRsaProviderName[] = "Microsoft Enhanced RSA and AES Cryptographic Provider";
constexpr char kDssProviderName[] = "Microsoft Base DSS Cryptographic Provider";

struct ProviderHandle {
  ByteString name;  // without a ":type" suffix
  int32_t type = 0;
  ByteString container;
  win::HCRYPTPROV handle = 0;
  uint32_t flags = 0;  // the flags the provider was acquired with
  win::HCRYPTKEY key = 0;
};

// The provider type a name gives: the decimal number after a colon, else 24 for a name with
// "AES", 3 for one with "DSS", 1 otherwise. `bare` (when given) receives the name before the colon.
int32_t ProviderTypeOfName(const char* name, ByteString* bare);

// Acquires the provider's container, creating it when allowed and it is missing, and trying the
// machine key set when the user's fails. 0; 221 with the platform's last error left set; 200.
int AcquireProvider(ProviderHandle* record, const char* provider_name, const char* container, uint32_t flags,
                    bool create);
// Destroys the key handle and releases the provider, when held.
void ReleaseProvider(ProviderHandle* record);

// What a store holds of the platform: the selection's context, the provider and key of an
// imported key and the temporary container that holds it.
struct PlatformCertState {
  win::PCCERT_CONTEXT context = nullptr;
  ProviderHandle provider;
  bool provider_cached = false;  // the platform keeps the provider handle with the context
  bool temporary_container = false;

  PlatformCertState() = default;
  PlatformCertState(const PlatformCertState&) = delete;
  PlatformCertState& operator=(const PlatformCertState&) = delete;
  ~PlatformCertState() { Release(); }
  // Frees the context, releases the provider and deletes a temporary container.
  void Release();
};

// The store's selected certificate as a platform context that carries its private key (when the
// store has one), made on first request and kept in the store. PKCS #12 content goes through the
// platform's PFX import; an RSA or DSA key of its own through a temporary key container; other
// keys through a PFX made for them. 0; 281 without a selection; 271 or the platform's error, with
// the store's error text set.
// A key without a container goes into a temporary one of rsa_provider (the default when null or
// empty); DSA keys always use the DSS provider.
int GetCertContext(CertStore* store, win::PCCERT_CONTEXT* out, const char* rsa_provider = nullptr);

}  // namespace tw
