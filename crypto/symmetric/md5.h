// MD5 (RFC 1321).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

// A context is ready after construction. Final leaves the digest inside the context; a second
// Final hands back the same digest, and an Update after Final starts a new message.
class Md5Context {
 public:
  static constexpr int kDigestSize = 16;
  static constexpr int kBlockSize = 64;

  Md5Context() { Init(); }
  Md5Context(const Md5Context&) = default;
  Md5Context& operator=(const Md5Context&) = default;
  ~Md5Context();

  void Init();
  void Update(const void* bytes, size_t count);
  const uint8_t* Final();  // 16 bytes
  const uint8_t* digest() const { return digest_; }

 private:
  uint32_t state_[4];
  uint64_t bits_;
  uint8_t buffer_[kBlockSize];
  size_t used_;
  uint8_t digest_[kDigestSize];
  bool finished_;
};

}  // namespace tw
