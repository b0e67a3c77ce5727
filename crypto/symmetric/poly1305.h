// Poly1305 (RFC 8439): a one-time authenticator over a 32-byte key (r, clamped, and s).
//
// The accumulator is kept in radix 2^64 (two full words and two bits), multiplied with 64x64-bit
// products; the final reduction and the comparison of tags take no data-dependent branches.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

class Poly1305Context {
 public:
  static constexpr int kKeyBytes = 32;
  static constexpr int kTagBytes = 16;

  Poly1305Context() { Clear(); }
  ~Poly1305Context() { Clear(); }
  Poly1305Context(const Poly1305Context&) = delete;
  Poly1305Context& operator=(const Poly1305Context&) = delete;

  // r = the first 16 key bytes with the clamp of RFC 8439, s = the last 16.
  void Init(const uint8_t key[kKeyBytes]);
  void Update(const uint8_t* data, size_t length);
  // Zero bytes up to the next multiple of 16 of everything fed so far (the AEAD padding).
  void PadToBlock();
  // Writes the tag; the context then needs Init again.
  void Finish(uint8_t tag[kTagBytes]);
  // Wipes r, s, the accumulator and any buffered bytes.
  void Clear();
  void CopyFrom(const Poly1305Context& other);

 private:
  void Blocks(const uint8_t* data, size_t blocks, uint64_t pad_bit);

  uint64_t h0_, h1_, h2_;
  uint64_t r0_, r1_;
  uint64_t s0_, s1_;  // the key's s half
  uint8_t buffer_[16];
  uint32_t buffered_;
};

// One-shot MAC of a message.
void Poly1305Mac(const uint8_t key[Poly1305Context::kKeyBytes], const uint8_t* data, size_t length,
                 uint8_t tag[Poly1305Context::kTagBytes]);

}  // namespace tw
