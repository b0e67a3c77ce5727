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

// Five limbs of 26 bits (each below 2^30: eight lanes summed) back to 44, 44 and 42, with one
// round of carries.
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

// The lane arithmetic for four lanes (AVX2) and eight (AVX-512). The kernel below is written once
// over these and has no target of its own: each entry point is compiled for its instruction set
// and flattened, so that everything is inlined there. Vectors cross calls only by reference, so
// that where nothing is inlined (unoptimised builds) no call depends on the vector calling
// convention, which differs between targets.
struct Avx2Lanes {
  using V = __m256i;
  static constexpr int kLanes = 4;
#define TW_AVX2 __attribute__((target("avx2")))
  TW_AVX2 static void Add(V& r, const V& a, const V& b) { r = _mm256_add_epi64(a, b); }
  TW_AVX2 static void MulAdd(V& r, const V& a, const V& b) { r = _mm256_add_epi64(r, _mm256_mul_epu32(a, b)); }
  TW_AVX2 static void Times5(V& r, const V& a) { r = _mm256_add_epi64(a, _mm256_slli_epi64(a, 2)); }
  // r = the low 26 bits of a; a = the rest, shifted down.
  TW_AVX2 static void Split26(V& a, V& r) {
    r = _mm256_and_si256(a, _mm256_set1_epi64x(kMask26));
    a = _mm256_srli_epi64(a, 26);
  }
  TW_AVX2 static void FromArray(V& r, const uint64_t* x) {
    r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
  }
  TW_AVX2 static void ToArray(uint64_t* x, const V& v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(x), v); }
  // Four blocks as five limbs each, the pad bit at 2^128 included; the lanes hold blocks 0, 2, 1, 3
  // (the order the 64-bit unpacks give).
  TW_AVX2 static void Load(const uint8_t* p, V m[5]) {
    const V mask = _mm256_set1_epi64x(kMask26);
    const V a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const V b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const V lo = _mm256_unpacklo_epi64(a, b);
    const V hi = _mm256_unpackhi_epi64(a, b);
    m[0] = _mm256_and_si256(lo, mask);
    m[1] = _mm256_and_si256(_mm256_srli_epi64(lo, 26), mask);
    m[2] = _mm256_and_si256(_mm256_or_si256(_mm256_srli_epi64(lo, 52), _mm256_slli_epi64(hi, 12)), mask);
    m[3] = _mm256_and_si256(_mm256_srli_epi64(hi, 14), mask);
    m[4] = _mm256_or_si256(_mm256_srli_epi64(hi, 40), _mm256_set1_epi64x(uint64_t{1} << 24));
  }
#undef TW_AVX2
  static constexpr int kBlockOfLane[4] = {0, 2, 1, 3};
};

// Shifts and unpacks as plain vector operations: this compiler's AVX-512 intrinsics for them draw
// false "uninitialized" warnings.
typedef uint64_t Words8 __attribute__((vector_size(64)));

struct Avx512Lanes {
  using V = Words8;
  static constexpr int kLanes = 8;
#define TW_512 __attribute__((target("avx512f")))
  TW_512 static void Add(V& r, const V& a, const V& b) { r = a + b; }
  // The zero-masking multiply with every lane selected: the plain one draws the same warning.
  TW_512 static void MulAdd(V& r, const V& a, const V& b) {
    r += reinterpret_cast<V>(
        _mm512_maskz_mul_epu32(0xFF, reinterpret_cast<const __m512i&>(a), reinterpret_cast<const __m512i&>(b)));
  }
  TW_512 static void Times5(V& r, const V& a) { r = a + (a << 2); }
  TW_512 static void Split26(V& a, V& r) {
    r = a & kMask26;
    a >>= 26;
  }
  TW_512 static void FromArray(V& r, const uint64_t* x) { std::memcpy(&r, x, 64); }
  TW_512 static void ToArray(uint64_t* x, const V& v) { std::memcpy(x, &v, 64); }
  // Eight blocks; the lanes hold blocks 0, 4, 1, 5, 2, 6, 3, 7.
  TW_512 static void Load(const uint8_t* p, V m[5]) {
    V a, b;
    std::memcpy(&a, p, 64);
    std::memcpy(&b, p + 64, 64);
    const V lo = __builtin_shufflevector(a, b, 0, 8, 2, 10, 4, 12, 6, 14);
    const V hi = __builtin_shufflevector(a, b, 1, 9, 3, 11, 5, 13, 7, 15);
    m[0] = lo & kMask26;
    m[1] = (lo >> 26) & kMask26;
    m[2] = ((lo >> 52) | (hi << 12)) & kMask26;
    m[3] = (hi >> 14) & kMask26;
    m[4] = (hi >> 40) | (uint64_t{1} << 24);
  }
#undef TW_512
  static constexpr int kBlockOfLane[8] = {0, 4, 1, 5, 2, 6, 3, 7};
};

// One value per 64-bit lane as five limbs of 26 bits.
template <class O>
struct Limbs {
  typename O::V v[5];
};

// A multiplier also keeps 5 times its upper four limbs (2^130 is 5 modulo p).
template <class O>
struct Multiplier {
  typename O::V r[5];
  typename O::V s[5];  // s[i] = 5 r[i]; s[0] unused
};

// Lane j multiplies by power powers[j] (an index into pw: r^(index + 1)).
template <class O>
void MakeMultiplier(const uint32_t pw[][5], const int* powers, Multiplier<O>& m) {
  for (int i = 0; i < 5; ++i) {
    uint64_t lanes[O::kLanes];
    for (int j = 0; j < O::kLanes; ++j) lanes[j] = pw[powers[j]][i];
    O::FromArray(m.r[i], lanes);
    O::Times5(m.s[i], m.r[i]);
  }
}

// d += t * k, unreduced. The limbs of t stay below 2^27.1 and those of k below 2^26.1, so ten
// products sum below 2^60.
template <class O>
void MulAcc(const Limbs<O>& t, const Multiplier<O>& k, Limbs<O>& d) {
  // Limb i gathers t[j] k[i - j], with 5 k[i - j + 5] where the index wraps.
#pragma GCC unroll 5
  for (int i = 0; i < 5; ++i) {
#pragma GCC unroll 5
    for (int j = 0; j < 5; ++j) O::MulAdd(d.v[i], t.v[j], j <= i ? k.r[i - j] : k.s[i - j + 5]);
  }
}

// Carries limb `from` into limb `to` (times 5 where it wraps from the top to the bottom).
template <class O, int from, int to>
void CarryStep(Limbs<O>& d) {
  typename O::V low;
  O::Split26(d.v[from], low);
  if (to == 0) O::Times5(d.v[from], d.v[from]);
  O::Add(d.v[to], d.v[to], d.v[from]);
  d.v[from] = low;
}

// Two interleaved carry chains; afterwards every limb is below 2^26 + 2^10.
template <class O>
void CarryLanes(Limbs<O>& d) {
  CarryStep<O, 0, 1>(d);
  CarryStep<O, 3, 4>(d);
  CarryStep<O, 1, 2>(d);
  CarryStep<O, 4, 0>(d);
  CarryStep<O, 2, 3>(d);
  CarryStep<O, 0, 1>(d);
  CarryStep<O, 3, 4>(d);
}

// h = (...((h + m1) r + m2) r ... + mn) r over whole groups of L blocks (L the lane count, at
// least one group). Lane j accumulates every L-th block; two groups per step as
// t = t r^2L + a r^L + b keeps the multiplications by r^L off the chain of dependent steps. At the
// end each lane is multiplied by the power its last block still owes, and the lanes are summed.
// pw holds r^1 .. r^8 and r^16.
template <class O>
void LaneBlocks(const uint32_t pw[9][5], uint64_t h[5], const uint8_t* data, size_t blocks) {
  constexpr int L = O::kLanes;
  int step_powers[L], double_powers[L], last_powers[L];
  for (int j = 0; j < L; ++j) {
    step_powers[j] = L - 1;
    double_powers[j] = L == 8 ? 8 : 2 * L - 1;
    last_powers[j] = L - 1 - O::kBlockOfLane[j];
  }
  Multiplier<O> step, twice, last;
  MakeMultiplier<O>(pw, step_powers, step);
  MakeMultiplier<O>(pw, double_powers, twice);
  MakeMultiplier<O>(pw, last_powers, last);
  Limbs<O> t;
  O::Load(data, t.v);
  uint64_t first[L] = {};
  for (int i = 0; i < 5; ++i) {
    first[0] = h[i];
    typename O::V v;
    O::FromArray(v, first);
    O::Add(t.v[i], t.v[i], v);
  }
  data += 16 * L;
  blocks -= L;
  for (; blocks >= 2 * L; blocks -= 2 * L, data += 32 * L) {
    Limbs<O> a, d;
    O::Load(data, a.v);
    O::Load(data + 16 * L, d.v);
    MulAcc(t, twice, d);
    MulAcc(a, step, d);
    CarryLanes(d);
    t = d;
  }
  if (blocks >= L) {
    Limbs<O> d;
    O::Load(data, d.v);
    MulAcc(t, step, d);
    CarryLanes(d);
    t = d;
  }
  Limbs<O> d;
  const uint64_t zeros[L] = {};
  for (auto& v : d.v) O::FromArray(v, zeros);
  MulAcc(t, last, d);
  CarryLanes(d);
  uint64_t lanes[L];
  for (int i = 0; i < 5; ++i) {
    O::ToArray(lanes, d.v[i]);
    h[i] = 0;
    for (int j = 0; j < L; ++j) h[i] += lanes[j];
  }
  // The powers of r are key material.
  WipeBytes(&step, sizeof step);
  WipeBytes(&twice, sizeof twice);
  WipeBytes(&last, sizeof last);
  WipeBytes(lanes, sizeof lanes);
}

__attribute__((target("avx2"), flatten)) void LaneBlocksAvx2(const uint32_t pw[9][5], uint64_t h[5],
                                                              const uint8_t* data, size_t blocks) {
  LaneBlocks<Avx2Lanes>(pw, h, data, blocks);
}

__attribute__((target("avx2,avx512f"), flatten)) void LaneBlocksAvx512(const uint32_t pw[9][5], uint64_t h[5],
                                                                        const uint8_t* data, size_t blocks) {
  LaneBlocks<Avx512Lanes>(pw, h, data, blocks);
}

// Lanes the widest allowed path runs (0: none).
int WideLanes() { return CpuHas(kCpuAvx512) ? 8 : CpuHas(kCpuAvx2) ? 4 : 0; }

void RunLanes(int lanes, const uint32_t pw[9][5], uint64_t h[5], const uint8_t* data, size_t blocks) {
  if (lanes == 8) {
    LaneBlocksAvx512(pw, h, data, blocks);
  } else {
    LaneBlocksAvx2(pw, h, data, blocks);
  }
}

#else

int WideLanes() { return 0; }
void RunLanes(int, const uint32_t (*)[5], uint64_t*, const uint8_t*, size_t) {}

#endif

// Runs shorter than this many lane groups stay on the scalar code: converting the accumulator and
// the last multiplication cost a few blocks.
constexpr size_t kWideMinGroups = 4;

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

// Level 1: r^2 .. r^4 for the scalar loop; level 2 also r^5 .. r^8, r^16 and all of them in limbs
// of 26 bits for the lanes. Short messages never pay for the second.
void Poly1305Context::MakePowers(uint32_t level) {
  const int from = have_powers_ >= 1 ? 4 : 1, to = level >= 2 ? 9 : 4;
  for (int k = from; k < to; ++k) {
    u128 d[3] = {0, 0, 0};
    // r^16 is r^8 squared.
    MulAdd(r_[k - 1], k == 8 ? r_[7] : r_[0], d);
    Carry(d, r_[k]);
    const uint64_t c = r_[k][1] >> 44;
    r_[k][1] &= kMask44;
    r_[k][2] += c;
    r_[k][3] = r_[k][1] * 20;
    r_[k][4] = r_[k][2] * 20;
  }
  if (level >= 2) {
    for (int k = 0; k < 9; ++k) {
      uint64_t a[5];
      To26(r_[k], a);
      for (int i = 0; i < 5; ++i) r26_[k][i] = static_cast<uint32_t>(a[i]);
      WipeBytes(a, sizeof a);
    }
  }
  have_powers_ = level;
}

void Poly1305Context::WideBlocks(int lanes, const uint8_t* data, size_t blocks) {
  if (have_powers_ < 2) MakePowers(2);
  uint64_t a[5];
  To26(h_, a);
  RunLanes(lanes, r26_, a, data, blocks);
  From26(a, h_);
  WipeBytes(a, sizeof a);
}

// h = (h + m) r per block, with m's pad bit at 2^128 (0 for the short last block, which carries
// its own 1 bit). Four blocks at a time: h = (h + m1) r^4 + m2 r^3 + m3 r^2 + m4 r.
void Poly1305Context::Blocks(const uint8_t* data, size_t blocks, uint64_t pad_bit) {
  int lanes = pad_bit ? WideLanes() : 0;
  // Runs too short for eight lanes may still fill four.
  if (lanes == 8 && blocks < kWideMinGroups * 8) lanes = 4;
  if (lanes > 0 && blocks >= kWideMinGroups * lanes) {
    const size_t wide = blocks - blocks % static_cast<size_t>(lanes);
    WideBlocks(lanes, data, wide);
    data += 16 * wide;
    blocks -= wide;
  }
  const uint64_t pad = pad_bit << 40;
  uint64_t h[3] = {h_[0], h_[1], h_[2]};
  if (blocks >= 4) {
    if (have_powers_ < 1) MakePowers(1);
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
