// SHA-1 (FIPS 180-4).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

// Ready after construction. Final leaves the digest inside the context; a second Final hands
// back the same digest, and an Update after Final starts a new message. A message longer than
// 2^64 bits marks the context corrupted: further updates are refused and Final gives null.
class Sha1Context {
 public:
  static constexpr int kDigestSize = 20;
  static constexpr int kBlockSize = 64;

  Sha1Context() { Init(); }
  Sha1Context(const Sha1Context&) = default;
  Sha1Context& operator=(const Sha1Context&) = default;
  ~Sha1Context();

  void Init();
  void Update(const void* bytes, size_t count);
  const uint8_t* Final();  // 20 bytes, or null when corrupted
  const uint8_t* digest() const { return digest_; }
  bool corrupted() const { return corrupted_; }

 private:
  uint32_t state_[5];
  uint64_t bits_;
  uint8_t buffer_[kBlockSize];
  size_t used_;
  bool computed_;
  bool corrupted_;
  uint8_t digest_[kDigestSize];
};

}  // namespace tw
