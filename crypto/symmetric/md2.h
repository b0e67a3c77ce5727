// MD2 (RFC 1319). Kept for old signatures and key files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

// Ready after construction. Final leaves the digest inside the context; a second Final hands
// back the same digest, and an Update after Final starts a new message.
class Md2Context {
 public:
  static constexpr int kDigestSize = 16;
  static constexpr int kBlockSize = 16;

  Md2Context() { Init(); }
  Md2Context(const Md2Context&) = default;
  Md2Context& operator=(const Md2Context&) = default;
  ~Md2Context();

  void Init();
  void Update(const void* bytes, size_t count);
  const uint8_t* Final();  // 16 bytes
  const uint8_t* digest() const { return digest_; }

 private:
  void Transform(const uint8_t* block);

  size_t used_;
  uint8_t buffer_[kBlockSize];
  uint8_t checksum_[16];
  uint8_t state_[48];
  uint8_t digest_[kDigestSize];
  bool finished_;
};

}  // namespace tw
