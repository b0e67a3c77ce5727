#include "crypto/symmetric/poly1305.h"

#include <cstring>

#include "foundation/byte_string.h"

namespace tw {

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kMask44 = (uint64_t{1} << 44) - 1;
constexpr uint64_t kMask42 = (uint64_t{1} << 42) - 1;

// The clamp of RFC 8439 on r, as two little-endian words.
constexpr uint64_t kClampLow = 0x0FFFFFFC0FFFFFFFull;
constexpr uint64_t kClampHigh = 0x0FFFFFFC0FFFFFFCull;

inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

inline void StoreLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Two little-endian words as limbs of 44, 44 and 42 bits.
inline void Split(uint64_t t0, uint64_t t1, uint64_t out[3]) {
  out[0] = t0 & kMask44;
  out[1] = ((t0 >> 44) | (t1 << 20)) & kMask44;
  out[2] = (t1 >> 24) & kMask42;
}

// d += x * y mod 2^130 - 5, unreduced. 2^132 = 4 * 2^130 is 20 modulo p, hence the factor 20 on
// the limbs that wrap (y[3] and y[4]).
inline void MulAdd(const uint64_t x[3], const uint64_t y[5], u128 d[3]) {
  const uint64_t s1 = y[3], s2 = y[4];
  d[0] += u128{x[0]} * y[0] + u128{x[1]} * s2 + u128{x[2]} * s1;
  d[1] += u128{x[0]} * y[1] + u128{x[1]} * y[0] + u128{x[2]} * s2;
  d[2] += u128{x[0]} * y[2] + u128{x[1]} * y[1] + u128{x[2]} * y[0];
}

// Carries d back into limbs; the top limb's overflow re-enters at the bottom times 5.
inline void Carry(const u128 d[3], uint64_t h[3]) {
  u128 d1 = d[1], d2 = d[2];
  uint64_t c = static_cast<uint64_t>(d[0] >> 44);
  h[0] = static_cast<uint64_t>(d[0]) & kMask44;
  d1 += c;
  c = static_cast<uint64_t>(d1 >> 44);
  h[1] = static_cast<uint64_t>(d1) & kMask44;
  d2 += c;
  c = static_cast<uint64_t>(d2 >> 42);
  h[2] = static_cast<uint64_t>(d2) & kMask42;
  h[0] += c * 5;
  c = h[0] >> 44;
  h[0] &= kMask44;
  h[1] += c;
}

}  // namespace

void Poly1305Context::Clear() { WipeBytes(this, sizeof *this); }

void Poly1305Context::Init(const uint8_t key[kKeyBytes]) {
  Clear();
  Split(LoadLe64(key) & kClampLow, LoadLe64(key + 8) & kClampHigh, r_[0]);
  r_[0][3] = r_[0][1] * 20;
  r_[0][4] = r_[0][2] * 20;
  s_[0] = LoadLe64(key + 16);
  s_[1] = LoadLe64(key + 24);
}

void Poly1305Context::CopyFrom(const Poly1305Context& other) {
  if (this != &other) std::memcpy(static_cast<void*>(this), &other, sizeof *this);
}

void Poly1305Context::MakePowers() {
  for (int k = 1; k < 4; ++k) {
    u128 d[3] = {0, 0, 0};
    MulAdd(r_[k - 1], r_[0], d);
    Carry(d, r_[k]);
    const uint64_t c = r_[k][1] >> 44;
    r_[k][1] &= kMask44;
    r_[k][2] += c;
    r_[k][3] = r_[k][1] * 20;
    r_[k][4] = r_[k][2] * 20;
  }
  have_powers_ = 1;
}

// h = (h + m) r per block, with m's pad bit at 2^128 (0 for the short last block, which carries
// its own 1 bit). Four blocks at a time: h = (h + m1) r^4 + m2 r^3 + m3 r^2 + m4 r.
void Poly1305Context::Blocks(const uint8_t* data, size_t blocks, uint64_t pad_bit) {
  const uint64_t pad = pad_bit << 40;
  uint64_t h[3] = {h_[0], h_[1], h_[2]};
  if (blocks >= 4) {
    if (!have_powers_) MakePowers();
    do {
      uint64_t m[4][3];
      for (int j = 0; j < 4; ++j) {
        Split(LoadLe64(data + 16 * j), LoadLe64(data + 16 * j + 8), m[j]);
        m[j][2] |= pad;
      }
      m[0][0] += h[0];
      m[0][1] += h[1];
      m[0][2] += h[2];
      u128 d[3] = {0, 0, 0};
      MulAdd(m[0], r_[3], d);
      MulAdd(m[1], r_[2], d);
      MulAdd(m[2], r_[1], d);
      MulAdd(m[3], r_[0], d);
      Carry(d, h);
      data += 64;
      blocks -= 4;
    } while (blocks >= 4);
  }
  for (; blocks > 0; --blocks, data += 16) {
    uint64_t m[3];
    Split(LoadLe64(data), LoadLe64(data + 8), m);
    m[0] += h[0];
    m[1] += h[1];
    m[2] += h[2] + pad;
    u128 d[3] = {0, 0, 0};
    MulAdd(m, r_[0], d);
    Carry(d, h);
  }
  h_[0] = h[0];
  h_[1] = h[1];
  h_[2] = h[2];
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
  uint64_t h0 = h_[0], h1 = h_[1], h2 = h_[2];
  // Full carry, twice round, so that h < 2^130.
  for (int round = 0; round < 2; ++round) {
    uint64_t c = h1 >> 44;
    h1 &= kMask44;
    h2 += c;
    c = h2 >> 42;
    h2 &= kMask42;
    h0 += c * 5;
    c = h0 >> 44;
    h0 &= kMask44;
    h1 += c;
  }
  // g = h + 5 - 2^130; keep g when it did not go negative (h >= p).
  uint64_t g0 = h0 + 5;
  uint64_t c = g0 >> 44;
  g0 &= kMask44;
  uint64_t g1 = h1 + c;
  c = g1 >> 44;
  g1 &= kMask44;
  const uint64_t g2 = h2 + c - (uint64_t{1} << 42);
  const uint64_t keep_g = (g2 >> 63) - 1;
  h0 = (h0 & ~keep_g) | (g0 & keep_g);
  h1 = (h1 & ~keep_g) | (g1 & keep_g);
  h2 = (h2 & ~keep_g) | (g2 & keep_g);
  // tag = h + s mod 2^128.
  const uint64_t t0 = h0 | (h1 << 44);
  const uint64_t t1 = (h1 >> 20) | (h2 << 24);
  const u128 sum = ((u128{t1} << 64) | t0) + ((u128{s_[1]} << 64) | s_[0]);
  StoreLe64(tag, static_cast<uint64_t>(sum));
  StoreLe64(tag + 8, static_cast<uint64_t>(sum >> 64));
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
