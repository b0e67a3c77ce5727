// RIPEMD-160 (ISO/IEC 10118-3).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

// Ready after construction. Final leaves the digest inside the context; a second Final hands
// back the same digest, and an Update after Final starts a new message.
class Ripemd160Context {
 public:
  static constexpr int kDigestSize = 20;
  static constexpr int kBlockSize = 64;

  Ripemd160Context() { Init(); }
  Ripemd160Context(const Ripemd160Context&) = default;
  Ripemd160Context& operator=(const Ripemd160Context&) = default;
  ~Ripemd160Context();

  void Init();
  void Update(const void* bytes, size_t count);
  const uint8_t* Final();  // 20 bytes
  const uint8_t* digest() const { return digest_; }

 private:
  uint64_t bytes_;
  size_t used_;
  uint8_t buffer_[kBlockSize];
  uint32_t state_[5];
  uint8_t digest_[kDigestSize];
  bool finished_;
};

}  // namespace tw
