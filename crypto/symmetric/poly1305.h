// Poly1305 (RFC 8439): a one-time authenticator over a 32-byte key (r, clamped, and s).
//
// The accumulator is kept in three limbs of 44, 44 and 42 bits, so that products of 64-bit limbs
// fit 128 bits with room to sum several. Long inputs go four blocks at a time against r^4, r^3,
// r^2 and r, which breaks the block-to-block dependency of Horner's rule. The final reduction and
// the tag take no data-dependent branches. With AVX2 (AVX-512), runs of whole blocks go four
// (eight) lanes wide in limbs of 26 bits, two groups per step (chosen at run time).
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
  // Wipes r, its powers, s, the accumulator and any buffered bytes.
  void Clear();
  void CopyFrom(const Poly1305Context& other);

 private:
  void Blocks(const uint8_t* data, size_t blocks, uint64_t pad_bit);
  void MakePowers(uint32_t level);
  void WideBlocks(int lanes, const uint8_t* data, size_t blocks);

  uint64_t h_[3];
  uint64_t r_[9][5];    // r .. r^8 and r^16: three limbs, then 20 times the upper two
  uint32_t r26_[9][5];  // the same powers in five limbs of 26 bits, for the vector paths
  uint64_t s_[2];     // the key's s half
  uint8_t buffer_[16];
  uint32_t buffered_;
  uint32_t have_powers_;  // 0 none, 1 r^2..r^4, 2 all (see MakePowers)
};

// One-shot MAC of a message.
void Poly1305Mac(const uint8_t key[Poly1305Context::kKeyBytes], const uint8_t* data, size_t length,
                 uint8_t tag[Poly1305Context::kTagBytes]);

}  // namespace tw
