#include "crypto/symmetric/poly1305.h"

#include <cstring>

#include "foundation/byte_string.h"

namespace tw {

namespace {

using u128 = unsigned __int128;

inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline void StoreLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The clamp of RFC 8439 on r, as two little-endian words.
constexpr uint64_t kClampLow = 0x0FFFFFFC0FFFFFFFull;
constexpr uint64_t kClampHigh = 0x0FFFFFFC0FFFFFFCull;

}  // namespace

void Poly1305Context::Clear() {
  WipeBytes(this, sizeof *this);
}

void Poly1305Context::Init(const uint8_t key[kKeyBytes]) {
  Clear();
  r0_ = LoadLe64(key) & kClampLow;
  r1_ = LoadLe64(key + 8) & kClampHigh;
  s0_ = LoadLe64(key + 16);
  s1_ = LoadLe64(key + 24);
}

void Poly1305Context::CopyFrom(const Poly1305Context& other) {
  if (this != &other) std::memcpy(static_cast<void*>(this), &other, sizeof *this);
}

// h = (h + block + pad_bit * 2^128) * r mod 2^130 - 5, keeping h below 2^130 + a little.
// Since the clamp leaves r1 a multiple of 4, the 2^128 wrap of h1 * r1 folds in as h1 * 5 r1 / 4.
void Poly1305Context::Blocks(const uint8_t* data, size_t blocks, uint64_t pad_bit) {
  const uint64_t r0 = r0_, r1 = r1_;
  const uint64_t s1 = r1 + (r1 >> 2);
  uint64_t h0 = h0_, h1 = h1_, h2 = h2_;
  for (; blocks > 0; --blocks, data += 16) {
    u128 d0 = u128{h0} + LoadLe64(data);
    h0 = static_cast<uint64_t>(d0);
    u128 d1 = u128{h1} + static_cast<uint64_t>(d0 >> 64) + LoadLe64(data + 8);
    h1 = static_cast<uint64_t>(d1);
    h2 += static_cast<uint64_t>(d1 >> 64) + pad_bit;

    d0 = u128{h0} * r0 + u128{h1} * s1;
    d1 = u128{h0} * r1 + u128{h1} * r0 + u128{h2 * s1};
    h2 = h2 * r0;

    h0 = static_cast<uint64_t>(d0);
    d1 += static_cast<uint64_t>(d0 >> 64);
    h1 = static_cast<uint64_t>(d1);
    h2 += static_cast<uint64_t>(d1 >> 64);

    // Fold the bits from 2^130 up back in, times 5.
    const uint64_t c = (h2 >> 2) + (h2 & ~uint64_t{3});
    h2 &= 3;
    h0 += c;
    const uint64_t carry0 = h0 < c;
    h1 += carry0;
    h2 += h1 < carry0;
  }
  h0_ = h0;
  h1_ = h1;
  h2_ = h2;
}

void Poly1305Context::Update(const uint8_t* data, size_t length) {
  if (buffered_ > 0) {
    const size_t take = length < 16 - buffered_ ? length : 16 - buffered_;
    std::memcpy(buffer_ + buffered_, data, take);
    buffered_ += static_cast<uint32_t>(take);
    data += take;
    length -= take;
    if (buffered_ < 16) return;
    Blocks(buffer_, 1, 1);
    buffered_ = 0;
  }
  const size_t whole = length / 16;
  if (whole > 0) {
    Blocks(data, whole, 1);
    data += 16 * whole;
    length -= 16 * whole;
  }
  if (length > 0) {
    std::memcpy(buffer_, data, length);
    buffered_ = static_cast<uint32_t>(length);
  }
}

void Poly1305Context::PadToBlock() {
  if (buffered_ == 0) return;
  std::memset(buffer_ + buffered_, 0, 16 - buffered_);
  Blocks(buffer_, 1, 1);
  buffered_ = 0;
}

void Poly1305Context::Finish(uint8_t tag[kTagBytes]) {
  if (buffered_ > 0) {
    // A short last block ends with a 1 bit right after its bytes, not at 2^128.
    buffer_[buffered_] = 1;
    std::memset(buffer_ + buffered_ + 1, 0, 15 - buffered_);
    Blocks(buffer_, 1, 0);
  }
  uint64_t h0 = h0_, h1 = h1_, h2 = h2_;
  // h mod p: subtract p = 2^130 - 5 when h >= p, chosen by mask.
  u128 t = u128{h0} + 5;
  uint64_t g0 = static_cast<uint64_t>(t);
  t = u128{h1} + static_cast<uint64_t>(t >> 64);
  uint64_t g1 = static_cast<uint64_t>(t);
  const uint64_t g2 = h2 + static_cast<uint64_t>(t >> 64);
  const uint64_t use_g = 0 - (g2 >> 2);
  h0 = (h0 & ~use_g) | (g0 & use_g);
  h1 = (h1 & ~use_g) | (g1 & use_g);
  t = u128{h0} + s0_;
  h0 = static_cast<uint64_t>(t);
  h1 = h1 + s1_ + static_cast<uint64_t>(t >> 64);
  StoreLe64(tag, h0);
  StoreLe64(tag + 8, h1);
  Clear();
}

void Poly1305Mac(const uint8_t key[Poly1305Context::kKeyBytes], const uint8_t* data, size_t length,
                 uint8_t tag[Poly1305Context::kTagBytes]) {
  Poly1305Context ctx;
  ctx.Init(key);
  ctx.Update(data, length);
  ctx.Finish(tag);
}

}  // namespace tw
