// SHA-256 and SHA-224 (FIPS 180-4).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

class AesContext;

enum class Sha256Variant { kSha256, kSha224 };

// Ready after construction; Init starts the chosen variant over. Final writes all 32 bytes of
// the final state (SHA-224 uses the first 28) and wipes the working state; a second Final hands
// back the same digest, and an Update after Final starts a new message.
class Sha256Context {
 public:
  static constexpr int kDigestSize = 32;
  static constexpr int kBlockSize = 64;

  explicit Sha256Context(Sha256Variant variant = Sha256Variant::kSha256) : variant_(variant) { Init(); }
  Sha256Context(const Sha256Context&) = default;
  Sha256Context& operator=(const Sha256Context&) = default;
  ~Sha256Context();

  void Init();
  void Update(const void* bytes, size_t count);
  // Update, and CBC-encrypt `blocks` AES blocks of in into out beside it, the chain block in iv
  // (as AesContext::EncryptCbc; out must not overlap bytes). The chain leaves the AES unit idle
  // for most of each block; where both instruction sets exist the digest's rounds run in those gaps.
  void UpdateBesideCbc(const void* bytes, size_t count, const AesContext& aes, const uint8_t* in, uint8_t* out,
                       size_t blocks, uint8_t iv[16]);
  const uint8_t* Final();  // 32 bytes
  const uint8_t* digest() const { return digest_; }
  Sha256Variant variant() const { return variant_; }
  int digest_size() const { return variant_ == Sha256Variant::kSha224 ? 28 : 32; }

 private:
  Sha256Variant variant_;
  uint64_t bits_;
  uint8_t buffer_[kBlockSize];
  size_t used_;
  uint8_t digest_[kDigestSize];
  uint32_t state_[8];
  bool finished_;
};

}  // namespace tw
