// HMAC-SHA256 (RFC 2104, 64-byte block) as the request signatures of the storage service use it:
// the SharedKey authorization and the shared access signatures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/sha256.h"
#include "foundation/byte_string.h"

namespace tw {

class HmacSha256 {
 public:
  static constexpr int kMacSize = 32;
  static constexpr int kBlockSize = 64;

  HmacSha256() { Init(nullptr, 0); }
  HmacSha256(const void* key, size_t n) { Init(key, n); }
  ~HmacSha256();
  HmacSha256(const HmacSha256&) = delete;
  HmacSha256& operator=(const HmacSha256&) = delete;

  // Starts a MAC under the key; a key longer than the block is replaced by its digest.
  void Init(const void* key, size_t n);
  void Update(const void* bytes, size_t n);
  // Writes the 32-byte MAC; the object must be given a key again before further use.
  void Final(uint8_t mac[kMacSize]);

 private:
  Sha256Context inner_;
  Sha256Context outer_;
};

// The MAC of n bytes under the key's bytes, written to out (32 bytes). 0, or 200.
int HmacSha256Bytes(const ByteString& key, const void* text, int n, ByteString* out);
// The same over a text up to its terminating NUL.
int HmacSha256Bytes(const ByteString& key, const char* text, ByteString* out);

}  // namespace tw
