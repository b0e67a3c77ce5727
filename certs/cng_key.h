// The platform's CNG key storage (ncrypt) for elliptic-curve keys. ncrypt is loaded on first use;
// this platform has none, so every operation reports it missing with -1 and the callers run the
// system's own elliptic-curve code instead.
#pragma once

#include <cstdint>

#include "crypto/pubkey/ec_key_data.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrCngMissing = -1;
constexpr char kCngLibrary[] = "Ncrypt.dll";

// Whether ncrypt loaded with every entry point the operations call.
bool CngAvailable();

// A new key of the curve (0 P-256, 1 P-384, 2 P-521) made by the platform and read back.
int CngGenerateEcKey(int curve_id, EcKeyData* out);
// The key (its private part when it has one) imported into the platform; *handle is its key.
int CngImportEcKey(const EcKeyData& key, uintptr_t* handle);
// The secret agreed with the peer's public key and derived by the KDF ("TLS_PRF", "HMAC" or
// "HASH") with the named hash. "TLS_PRF" needs a label (1408) and a 64-byte seed (1407), which are
// checked first.
int CngDeriveKey(uintptr_t key, const EcKeyData& peer, const char* kdf, const char* hash, const ByteString& label,
                 const ByteString& seed, ByteString* out);

}  // namespace tw
