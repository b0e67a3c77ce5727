// MD5 and SHA-1 of the same message side by side (the digest of TLS 1.0 and 1.1 signatures).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/md5.h"
#include "crypto/symmetric/sha1.h"

namespace tw {

class Md5Sha1Context {
 public:
  static constexpr int kDigestSize = Md5Context::kDigestSize + Sha1Context::kDigestSize;  // 36
  static constexpr int kBlockSize = 64;

  Md5Sha1Context() { Init(); }
  ~Md5Sha1Context();

  void Init();
  void Update(const void* bytes, size_t count);
  const uint8_t* Final();  // the MD5 digest, then the SHA-1 digest; null when SHA-1 is corrupted
  const uint8_t* digest() const { return digest_; }

 private:
  Md5Context md5_;
  Sha1Context sha1_;
  uint8_t digest_[kDigestSize];
};

}  // namespace tw
