// SHA-512, SHA-384, SHA-512/224 and SHA-512/256 (FIPS 180-4).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

enum class Sha512Variant { kSha512, kSha384, kSha512_224, kSha512_256 };

// Ready after construction; Init starts the chosen variant over. Final always writes all 64
// bytes of the final state (the truncated variants use the front of it) and wipes the working
// state; a second Final hands back the same digest, and an Update after Final starts over.
class Sha512Context {
 public:
  static constexpr int kDigestSize = 64;
  static constexpr int kBlockSize = 128;

  explicit Sha512Context(Sha512Variant variant = Sha512Variant::kSha512) : variant_(variant) { Init(); }
  Sha512Context(const Sha512Context&) = default;
  Sha512Context& operator=(const Sha512Context&) = default;
  ~Sha512Context();

  void Init();
  void Update(const void* bytes, size_t count);
  const uint8_t* Final();  // 64 bytes
  const uint8_t* digest() const { return digest_; }
  Sha512Variant variant() const { return variant_; }
  int digest_size() const;

 private:
  Sha512Variant variant_;
  uint64_t bytesLo_;  // the 128-bit message length in bytes
  uint64_t bytesHi_;
  uint8_t buffer_[kBlockSize];
  size_t used_;
  uint8_t digest_[kDigestSize];
  uint64_t state_[8];
  bool finished_;
};

}  // namespace tw
