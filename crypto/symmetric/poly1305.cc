#include "crypto/symmetric/poly1305.h"

#include <cstring>

#include "crypto/symmetric/cpu_features.h"
#include "foundation/byte_string.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define TW_POLY_X86 1
#endif

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

constexpr uint64_t kMask26 = (uint64_t{1} << 26) - 1;

// Three limbs of 44, 44 and 42 bits (each possibly a little over) as five of 26 bits, carried
// round twice so that every limb ends at most a few units above 2^26.
void To26(const uint64_t h[3], uint64_t a[5]) {
  const u128 lo = h[0] + (u128{h[1]} << 44);
  a[0] = static_cast<uint64_t>(lo) & kMask26;
  a[1] = static_cast<uint64_t>(lo >> 26) & kMask26;
  a[2] = static_cast<uint64_t>(lo >> 52) & kMask26;
  a[3] = static_cast<uint64_t>(lo >> 78) + ((h[2] & 0xFFFF) << 10);
  a[4] = h[2] >> 16;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 5; ++i) {
      const uint64_t c = a[i] >> 26;
      a[i] &= kMask26;
      a[(i + 1) % 5] += i == 4 ? c * 5 : c;
    }
  }
}

// Five limbs of 26 bits (each below 2^28) back to 44, 44 and 42, with one round of carries.
void From26(const uint64_t a[5], uint64_t h[3]) {
  h[0] = a[0] + ((a[1] & 0x3FFFF) << 26);
  h[1] = (a[1] >> 18) + (a[2] << 8) + ((a[3] & 0x3FF) << 34);
  h[2] = (a[3] >> 10) + (a[4] << 16);
  uint64_t c = h[0] >> 44;
  h[0] &= kMask44;
  h[1] += c;
  c = h[1] >> 44;
  h[1] &= kMask44;
  h[2] += c;
  c = h[2] >> 42;
  h[2] &= kMask42;
  h[0] += c * 5;
}

#ifdef TW_POLY_X86

#define TW_AVX2 __attribute__((target("avx2")))
#define TW_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// One value per 64-bit lane, as five limbs of 26 bits; a multiplier also keeps 5 times its upper
// four limbs (2^130 is 5 modulo p).
struct Limbs {
  __m256i v[5];
};
struct Multiplier {
  __m256i r[5];
  __m256i s[5];  // s[i] = 5 r[i]; s[0] unused
};

TW_AVX2_INLINE Multiplier MakeMultiplier(const uint32_t l0[5], const uint32_t l1[5], const uint32_t l2[5],
                                         const uint32_t l3[5]) {
  Multiplier m;
  for (int i = 0; i < 5; ++i) {
    m.r[i] = _mm256_setr_epi64x(l0[i], l1[i], l2[i], l3[i]);
    m.s[i] = _mm256_add_epi64(m.r[i], _mm256_slli_epi64(m.r[i], 2));
  }
  return m;
}

// Four blocks: the lanes hold blocks 0, 2, 1, 3 (the order the 64-bit unpacks give).
TW_AVX2_INLINE void LoadBlocks(const uint8_t* p, __m256i pad, Limbs& m) {
  const __m256i mask = _mm256_set1_epi64x(kMask26);
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  const __m256i lo = _mm256_unpacklo_epi64(a, b);
  const __m256i hi = _mm256_unpackhi_epi64(a, b);
  m.v[0] = _mm256_and_si256(lo, mask);
  m.v[1] = _mm256_and_si256(_mm256_srli_epi64(lo, 26), mask);
  m.v[2] = _mm256_and_si256(_mm256_or_si256(_mm256_srli_epi64(lo, 52), _mm256_slli_epi64(hi, 12)), mask);
  m.v[3] = _mm256_and_si256(_mm256_srli_epi64(hi, 14), mask);
  m.v[4] = _mm256_or_si256(_mm256_srli_epi64(hi, 40), pad);
}

#define TW_MUL(a, b) _mm256_mul_epu32((a), (b))
#define TW_ADD(a, b) _mm256_add_epi64((a), (b))

// d += t * k, unreduced. The limbs of t stay below 2^27.1 and those of k below 2^26.1, so ten
// products sum below 2^60.
TW_AVX2_INLINE void MulAcc(const Limbs& t, const Multiplier& k, Limbs& d) {
  d.v[0] = TW_ADD(d.v[0], TW_ADD(TW_ADD(TW_MUL(t.v[0], k.r[0]), TW_MUL(t.v[1], k.s[4])),
                                 TW_ADD(TW_ADD(TW_MUL(t.v[2], k.s[3]), TW_MUL(t.v[3], k.s[2])), TW_MUL(t.v[4], k.s[1]))));
  d.v[1] = TW_ADD(d.v[1], TW_ADD(TW_ADD(TW_MUL(t.v[0], k.r[1]), TW_MUL(t.v[1], k.r[0])),
                                 TW_ADD(TW_ADD(TW_MUL(t.v[2], k.s[4]), TW_MUL(t.v[3], k.s[3])), TW_MUL(t.v[4], k.s[2]))));
  d.v[2] = TW_ADD(d.v[2], TW_ADD(TW_ADD(TW_MUL(t.v[0], k.r[2]), TW_MUL(t.v[1], k.r[1])),
                                 TW_ADD(TW_ADD(TW_MUL(t.v[2], k.r[0]), TW_MUL(t.v[3], k.s[4])), TW_MUL(t.v[4], k.s[3]))));
  d.v[3] = TW_ADD(d.v[3], TW_ADD(TW_ADD(TW_MUL(t.v[0], k.r[3]), TW_MUL(t.v[1], k.r[2])),
                                 TW_ADD(TW_ADD(TW_MUL(t.v[2], k.r[1]), TW_MUL(t.v[3], k.r[0])), TW_MUL(t.v[4], k.s[4]))));
  d.v[4] = TW_ADD(d.v[4], TW_ADD(TW_ADD(TW_MUL(t.v[0], k.r[4]), TW_MUL(t.v[1], k.r[3])),
                                 TW_ADD(TW_ADD(TW_MUL(t.v[2], k.r[2]), TW_MUL(t.v[3], k.r[1])), TW_MUL(t.v[4], k.r[0]))));
}

// Two interleaved carry chains; afterwards every limb is below 2^26 + 2^10.
TW_AVX2_INLINE void CarryLanes(Limbs& d) {
  const __m256i mask = _mm256_set1_epi64x(kMask26);
  __m256i c = _mm256_srli_epi64(d.v[0], 26);
  d.v[0] = _mm256_and_si256(d.v[0], mask);
  d.v[1] = TW_ADD(d.v[1], c);
  c = _mm256_srli_epi64(d.v[3], 26);
  d.v[3] = _mm256_and_si256(d.v[3], mask);
  d.v[4] = TW_ADD(d.v[4], c);
  c = _mm256_srli_epi64(d.v[1], 26);
  d.v[1] = _mm256_and_si256(d.v[1], mask);
  d.v[2] = TW_ADD(d.v[2], c);
  c = _mm256_srli_epi64(d.v[4], 26);
  d.v[4] = _mm256_and_si256(d.v[4], mask);
  d.v[0] = TW_ADD(d.v[0], TW_ADD(c, _mm256_slli_epi64(c, 2)));
  c = _mm256_srli_epi64(d.v[2], 26);
  d.v[2] = _mm256_and_si256(d.v[2], mask);
  d.v[3] = TW_ADD(d.v[3], c);
  c = _mm256_srli_epi64(d.v[0], 26);
  d.v[0] = _mm256_and_si256(d.v[0], mask);
  d.v[1] = TW_ADD(d.v[1], c);
  c = _mm256_srli_epi64(d.v[3], 26);
  d.v[3] = _mm256_and_si256(d.v[3], mask);
  d.v[4] = TW_ADD(d.v[4], c);
}

// h = (...((h + m1) r + m2) r ... + mn) r over a multiple of four whole blocks (at least four).
// Lane j accumulates every fourth block; eight blocks per step as t = t r^8 + a r^4 + b keeps the
// multiplications by r^4 off the chain of dependent steps. At the end lane j is multiplied by the
// power its last block still owes, and the lanes are summed.
TW_AVX2 void WideBlocksAvx2(const uint32_t pw[5][5], uint64_t h[5], const uint8_t* data, size_t blocks) {
  const __m256i pad = _mm256_set1_epi64x(uint64_t{1} << 24);
  const Multiplier r4 = MakeMultiplier(pw[3], pw[3], pw[3], pw[3]);
  const Multiplier r8 = MakeMultiplier(pw[4], pw[4], pw[4], pw[4]);
  Limbs t;
  LoadBlocks(data, pad, t);
  for (int i = 0; i < 5; ++i) t.v[i] = TW_ADD(t.v[i], _mm256_setr_epi64x(h[i], 0, 0, 0));
  data += 64;
  blocks -= 4;
  for (; blocks >= 8; blocks -= 8, data += 128) {
    Limbs a, d;
    LoadBlocks(data, pad, a);
    LoadBlocks(data + 64, pad, d);
    MulAcc(t, r8, d);
    MulAcc(a, r4, d);
    CarryLanes(d);
    t = d;
  }
  if (blocks >= 4) {
    Limbs d;
    LoadBlocks(data, pad, d);
    MulAcc(t, r4, d);
    CarryLanes(d);
    t = d;
  }
  // Lanes hold blocks 0, 2, 1, 3 of the last group: they owe r^4, r^2, r^3 and r.
  const Multiplier last = MakeMultiplier(pw[3], pw[1], pw[2], pw[0]);
  Limbs d;
  for (auto& v : d.v) v = _mm256_setzero_si256();
  MulAcc(t, last, d);
  CarryLanes(d);
  alignas(32) uint64_t lanes[4];
  for (int i = 0; i < 5; ++i) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), d.v[i]);
    h[i] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  }
  WipeBytes(lanes, sizeof lanes);
}

#undef TW_MUL
#undef TW_ADD

bool WideAvailable() { return CpuHas(kCpuAvx2); }

#else

bool WideAvailable() { return false; }
void WideBlocksAvx2(const uint32_t (*)[5], uint64_t*, const uint8_t*, size_t) {}

#endif

// Runs of fewer blocks stay on the scalar code: converting the accumulator costs a few blocks.
constexpr size_t kWideMinBlocks = 16;

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
  for (int k = 1; k < 5; ++k) {
    u128 d[3] = {0, 0, 0};
    // r^8 is r^4 squared.
    MulAdd(r_[k - 1], k == 4 ? r_[3] : r_[0], d);
    Carry(d, r_[k]);
    const uint64_t c = r_[k][1] >> 44;
    r_[k][1] &= kMask44;
    r_[k][2] += c;
    r_[k][3] = r_[k][1] * 20;
    r_[k][4] = r_[k][2] * 20;
  }
  for (int k = 0; k < 5; ++k) {
    uint64_t a[5];
    To26(r_[k], a);
    for (int i = 0; i < 5; ++i) r26_[k][i] = static_cast<uint32_t>(a[i]);
    WipeBytes(a, sizeof a);
  }
  have_powers_ = 1;
}

void Poly1305Context::WideBlocks(const uint8_t* data, size_t blocks) {
  if (!have_powers_) MakePowers();
  uint64_t a[5];
  To26(h_, a);
  WideBlocksAvx2(r26_, a, data, blocks);
  From26(a, h_);
  WipeBytes(a, sizeof a);
}

// h = (h + m) r per block, with m's pad bit at 2^128 (0 for the short last block, which carries
// its own 1 bit). Four blocks at a time: h = (h + m1) r^4 + m2 r^3 + m3 r^2 + m4 r.
void Poly1305Context::Blocks(const uint8_t* data, size_t blocks, uint64_t pad_bit) {
  if (pad_bit && blocks >= kWideMinBlocks && WideAvailable()) {
    const size_t wide = blocks & ~size_t{3};
    WideBlocks(data, wide);
    data += 16 * wide;
    blocks -= wide;
  }
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
