// MD4 (RFC 1320). Kept for the NT password hash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

// Ready after construction. Final leaves the digest inside the context; a second Final hands
// back the same digest, and an Update after Final starts a new message.
class Md4Context {
 public:
  static constexpr int kDigestSize = 16;
  static constexpr int kBlockSize = 64;

  Md4Context() { Init(); }
  Md4Context(const Md4Context&) = default;
  Md4Context& operator=(const Md4Context&) = default;
  ~Md4Context();

  void Init();
  void Update(const void* bytes, size_t count);
  // Absorbs count bytes starting at bytes + start.
  void Update(const void* bytes, size_t start, size_t count) {
    if (bytes != nullptr) Update(static_cast<const uint8_t*>(bytes) + start, count);
  }
  const uint8_t* Final();  // 16 bytes
  const uint8_t* digest() const { return digest_; }

 private:
  uint32_t state_[4];
  uint8_t buffer_[kBlockSize];
  size_t used_;
  uint64_t bytes_;
  uint8_t digest_[kDigestSize];
  bool finished_;
};

}  // namespace tw
