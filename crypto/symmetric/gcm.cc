#include "crypto/symmetric/gcm.h"

#include <cstring>

#include "crypto/symmetric/cpu_features.h"
#include "foundation/byte_ops.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TW_GCM_X86 1
#endif

namespace tw {

namespace {


// Reduction of the four bits shifted out of Shoup's multiplication, modulo the GCM polynomial.
constexpr uint16_t kLast4[16] = {0x0000, 0x1C20, 0x3840, 0x2460, 0x7080, 0x6CA0, 0x48C0, 0x54E0,
                                 0xE100, 0xFD20, 0xD940, 0xC560, 0x9180, 0x8DA0, 0xA9C0, 0xB5E0};

// Counter blocks encrypted per call of the AES context (keystream kept on the stack).
constexpr size_t kCtrChunkBlocks = 32;

const uint8_t kZeroBlock[16] = {};

// Shoup's table: entry i is H times the 4-bit polynomial i (bit order as GCM numbers it).
void BuildTable(const uint8_t h[16], uint64_t hl[16], uint64_t hh[16]) {
  uint64_t vh = LoadBe64(h);
  uint64_t vl = LoadBe64(h + 8);
  hl[8] = vl;
  hh[8] = vh;
  hl[0] = 0;
  hh[0] = 0;
  for (int i = 4; i > 0; i >>= 1) {
    const uint64_t t = (vl & 1) * 0xE1000000u;
    vl = (vh << 63) | (vl >> 1);
    vh = (vh >> 1) ^ (t << 32);
    hl[i] = vl;
    hh[i] = vh;
  }
  for (int i = 2; i <= 8; i *= 2) {
    for (int j = 1; j < i; ++j) {
      hh[i + j] = hh[i] ^ hh[j];
      hl[i + j] = hl[i] ^ hl[j];
    }
  }
}

// x = x * H, four bits at a time from the last byte to the first.
void TableMultiply(const uint64_t hl[16], const uint64_t hh[16], uint8_t x[16]) {
  unsigned lo = x[15] & 0xf;
  uint64_t zh = hh[lo];
  uint64_t zl = hl[lo];
  for (int i = 15; i >= 0; --i) {
    lo = x[i] & 0xf;
    const unsigned hi = (x[i] >> 4) & 0xf;
    if (i != 15) {
      const unsigned rem = zl & 0xf;
      zl = (zh << 60) | (zl >> 4);
      zh = (zh >> 4) ^ (uint64_t{kLast4[rem]} << 48);
      zh ^= hh[lo];
      zl ^= hl[lo];
    }
    const unsigned rem = zl & 0xf;
    zl = (zh << 60) | (zl >> 4);
    zh = (zh >> 4) ^ (uint64_t{kLast4[rem]} << 48);
    zh ^= hh[hi];
    zl ^= hl[hi];
  }
  StoreBe64(x, zh);
  StoreBe64(x + 8, zl);
}

void TableBlocks(const uint64_t hl[16], const uint64_t hh[16], uint8_t y[16], const uint8_t* data,
                 size_t blocks) {
  for (; blocks > 0; --blocks, data += 16) {
    XorBytes(y, y, data, 16);
    TableMultiply(hl, hh, y);
  }
}

#ifdef TW_GCM_X86

constexpr uint32_t kClmulFeatures = kCpuClmul | kCpuSsse3 | kCpuSse41;
bool DetectClmul() { return CpuHas(kClmulFeatures); }
bool ClmulDetected() { return (CpuFeaturesDetected() & kClmulFeatures) == kClmulFeatures; }

#define TW_CLMUL __attribute__((target("pclmul,ssse3,sse4.1")))

TW_CLMUL inline __m128i ByteReverse(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
}
TW_CLMUL inline __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
TW_CLMUL inline void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Reduces the 256-bit product hi:lo (mid the Karatsuba middle term, already combined) of two
// byte-reflected field elements: the product is shifted left by one bit to undo the reflection,
// then folded modulo x^128 + x^7 + x^2 + x + 1 (Gueron and Kounavis).
TW_CLMUL inline __m128i Reduce(__m128i lo, __m128i mid, __m128i hi) {
  __m128i t3 = _mm_xor_si128(lo, _mm_slli_si128(mid, 8));
  __m128i t6 = _mm_xor_si128(hi, _mm_srli_si128(mid, 8));
  __m128i t7 = _mm_srli_epi32(t3, 31);
  __m128i t8 = _mm_srli_epi32(t6, 31);
  t3 = _mm_slli_epi32(t3, 1);
  t6 = _mm_slli_epi32(t6, 1);
  __m128i t9 = _mm_srli_si128(t7, 12);
  t8 = _mm_slli_si128(t8, 4);
  t7 = _mm_slli_si128(t7, 4);
  t3 = _mm_or_si128(t3, t7);
  t6 = _mm_or_si128(_mm_or_si128(t6, t8), t9);
  t7 = _mm_xor_si128(_mm_xor_si128(_mm_slli_epi32(t3, 31), _mm_slli_epi32(t3, 30)), _mm_slli_epi32(t3, 25));
  t8 = _mm_srli_si128(t7, 4);
  t7 = _mm_slli_si128(t7, 12);
  t3 = _mm_xor_si128(t3, t7);
  __m128i t2 = _mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(t3, 1), _mm_srli_epi32(t3, 2)), _mm_srli_epi32(t3, 7));
  t2 = _mm_xor_si128(t2, t8);
  t3 = _mm_xor_si128(t3, t2);
  return _mm_xor_si128(t6, t3);
}

TW_CLMUL inline __m128i FieldMultiply(__m128i a, __m128i b) {
  const __m128i lo = _mm_clmulepi64_si128(a, b, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(a, b, 0x11);
  const __m128i mid = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x10), _mm_clmulepi64_si128(a, b, 0x01));
  return Reduce(lo, mid, hi);
}

TW_CLMUL void ClmulInit(const uint8_t h[16], GcmContext::ClmulKey* key) {
  const __m128i h1 = ByteReverse(Load(h));
  __m128i p = h1;
  for (int i = 0; i < 16; ++i) {
    if (i > 0) p = FieldMultiply(p, h1);
    Store(key->pow[i], p);
    Store(key->kar[i], _mm_xor_si128(p, _mm_shuffle_epi32(p, 0x4e)));
  }
}

// Accumulates block x times power h into the three Karatsuba sums.
#define TW_GHASH_TERM(x, hp, hk)                                                        \
  do {                                                                                  \
    const __m128i xv = (x);                                                             \
    lo = _mm_xor_si128(lo, _mm_clmulepi64_si128(xv, (hp), 0x00));                       \
    hi = _mm_xor_si128(hi, _mm_clmulepi64_si128(xv, (hp), 0x11));                       \
    mid = _mm_xor_si128(mid, _mm_clmulepi64_si128(_mm_xor_si128(xv, _mm_shuffle_epi32(xv, 0x4e)), (hk), 0x00)); \
  } while (0)

// y = (...((y ^ x1) H ^ x2) H ...) H over the blocks, eight at a time with one reduction:
// (y ^ x1) H^8 ^ x2 H^7 ^ ... ^ x8 H.
TW_CLMUL void ClmulBlocks(const GcmContext::ClmulKey& key, uint8_t y[16], const uint8_t* data, size_t blocks) {
  const __m128i rev = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  __m128i pw[8], kr[8];
  for (int i = 0; i < 8; ++i) {
    pw[i] = Load(key.pow[i]);
    kr[i] = Load(key.kar[i]);
  }
  __m128i acc = _mm_shuffle_epi8(Load(y), rev);
  while (blocks >= 8) {
    __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128(), mid = _mm_setzero_si128();
    TW_GHASH_TERM(_mm_xor_si128(_mm_shuffle_epi8(Load(data), rev), acc), pw[7], kr[7]);
    TW_GHASH_TERM(_mm_shuffle_epi8(Load(data + 16), rev), pw[6], kr[6]);
    TW_GHASH_TERM(_mm_shuffle_epi8(Load(data + 32), rev), pw[5], kr[5]);
    TW_GHASH_TERM(_mm_shuffle_epi8(Load(data + 48), rev), pw[4], kr[4]);
    TW_GHASH_TERM(_mm_shuffle_epi8(Load(data + 64), rev), pw[3], kr[3]);
    TW_GHASH_TERM(_mm_shuffle_epi8(Load(data + 80), rev), pw[2], kr[2]);
    TW_GHASH_TERM(_mm_shuffle_epi8(Load(data + 96), rev), pw[1], kr[1]);
    TW_GHASH_TERM(_mm_shuffle_epi8(Load(data + 112), rev), pw[0], kr[0]);
    mid = _mm_xor_si128(mid, _mm_xor_si128(lo, hi));
    acc = Reduce(lo, mid, hi);
    data += 128;
    blocks -= 8;
  }
  if (blocks > 0) {
    __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128(), mid = _mm_setzero_si128();
    const size_t n = blocks;
    for (size_t j = 0; j < n; ++j) {
      __m128i x = _mm_shuffle_epi8(Load(data + 16 * j), rev);
      if (j == 0) x = _mm_xor_si128(x, acc);
      TW_GHASH_TERM(x, pw[n - 1 - j], kr[n - 1 - j]);
    }
    mid = _mm_xor_si128(mid, _mm_xor_si128(lo, hi));
    acc = Reduce(lo, mid, hi);
  }
  Store(y, _mm_shuffle_epi8(acc, rev));
  for (int i = 0; i < 8; ++i) pw[i] = kr[i] = _mm_setzero_si128();
}

#define TW_AES_CLMUL __attribute__((target("aes,pclmul,ssse3,sse4.1")))

enum CtrMode { kCtrOnly = 0, kCtrSeal = 1, kCtrOpen = 2 };

#define TW_EACH8(op) op(0) op(1) op(2) op(3) op(4) op(5) op(6) op(7)

// Counter mode over whole groups of eight blocks with the AES instructions, the counters kept in
// a register. With kCtrSeal or kCtrOpen the same loop also runs GHASH over the ciphertext, one
// group per pass with one reduction, its multiplications spread between the AES rounds so that
// both units stay busy: sealing hashes the group it encrypted the pass before, opening the group
// it is decrypting. Returns the blocks done (a multiple of eight); counter is the last one used.
template <int kMode>
TW_AES_CLMUL size_t CtrGroups(const uint8_t* keys, int rounds, const GcmContext::ClmulKey& hk, uint8_t y[16],
                              uint8_t counter[16], const uint8_t* in, uint8_t* out, size_t blocks) {
  const __m128i rev = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m128i one = _mm_setr_epi32(1, 0, 0, 0);
  const __m128i* rk = reinterpret_cast<const __m128i*>(keys);
  __m128i acc = _mm_shuffle_epi8(Load(y), rev);
  // Reversed, the big-endian 32-bit counter is the low lane, where one addition steps it (and
  // wraps it modulo 2^32 as GCM's increment does).
  __m128i ctr = _mm_shuffle_epi8(Load(counter), rev);
  __m128i g0, g1, g2, g3, g4, g5, g6, g7;
  g0 = g1 = g2 = g3 = g4 = g5 = g6 = g7 = _mm_setzero_si128();
  bool pending = false;
  size_t done = 0;
  for (; blocks - done >= 8; done += 8, in += 128, out += 128) {
    const __m128i k0 = _mm_loadu_si128(rk);
    __m128i b0, b1, b2, b3, b4, b5, b6, b7;
#define TW_START(i)                  \
  ctr = _mm_add_epi32(ctr, one);     \
  b##i = _mm_xor_si128(_mm_shuffle_epi8(ctr, rev), k0);
    TW_EACH8(TW_START)
#undef TW_START
    if (kMode == kCtrOpen) {
#define TW_TAKE(i) g##i = _mm_shuffle_epi8(Load(in + 16 * i), rev);
      TW_EACH8(TW_TAKE)
#undef TW_TAKE
      pending = true;
    }
    __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128(), mid = _mm_setzero_si128();
// One round on all eight blocks (spelt out: this is used inside TW_EACH8 itself).
#define TW_ROUND8(k)                                                                            \
  b0 = _mm_aesenc_si128(b0, k), b1 = _mm_aesenc_si128(b1, k), b2 = _mm_aesenc_si128(b2, k),  \
  b3 = _mm_aesenc_si128(b3, k), b4 = _mm_aesenc_si128(b4, k), b5 = _mm_aesenc_si128(b5, k),  \
  b6 = _mm_aesenc_si128(b6, k), b7 = _mm_aesenc_si128(b7, k);
    if (kMode != kCtrOnly && pending) {
      g0 = _mm_xor_si128(g0, acc);
      // Rounds 1 to 8 each carry one block's multiplication; 128-bit keys have ten rounds.
#define TW_HASHED_ROUND(i)                               \
  {                                                      \
    const __m128i k = _mm_loadu_si128(rk + 1 + i);       \
    TW_ROUND8(k)                                         \
    const __m128i hp = Load(hk.pow[7 - i]);              \
    const __m128i hkar = Load(hk.kar[7 - i]);            \
    TW_GHASH_TERM(g##i, hp, hkar);                       \
  }
      TW_EACH8(TW_HASHED_ROUND)
#undef TW_HASHED_ROUND
      for (int r = 9; r < rounds; ++r) {
        const __m128i k = _mm_loadu_si128(rk + r);
        TW_ROUND8(k)
      }
      mid = _mm_xor_si128(mid, _mm_xor_si128(lo, hi));
      acc = Reduce(lo, mid, hi);
    } else {
      for (int r = 1; r < rounds; ++r) {
        const __m128i k = _mm_loadu_si128(rk + r);
        TW_ROUND8(k)
      }
    }
#undef TW_ROUND8
    const __m128i klast = _mm_loadu_si128(rk + rounds);
#define TW_FINISH(i)                                                                \
  b##i = _mm_xor_si128(_mm_aesenclast_si128(b##i, klast), Load(in + 16 * i));      \
  Store(out + 16 * i, b##i);
    TW_EACH8(TW_FINISH)
#undef TW_FINISH
    if (kMode == kCtrSeal) {
#define TW_KEEP(i) g##i = _mm_shuffle_epi8(b##i, rev);
      TW_EACH8(TW_KEEP)
#undef TW_KEEP
      pending = true;
    }
  }
  if (kMode == kCtrSeal && pending) {
    __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128(), mid = _mm_setzero_si128();
    g0 = _mm_xor_si128(g0, acc);
#define TW_LAST_HASH(i) TW_GHASH_TERM(g##i, Load(hk.pow[7 - i]), Load(hk.kar[7 - i]));
    TW_EACH8(TW_LAST_HASH)
#undef TW_LAST_HASH
    mid = _mm_xor_si128(mid, _mm_xor_si128(lo, hi));
    acc = Reduce(lo, mid, hi);
  }
  Store(y, _mm_shuffle_epi8(acc, rev));
  Store(counter, _mm_shuffle_epi8(ctr, rev));
  return done;
}

#undef TW_EACH8

#define TW_WIDE __attribute__((target("avx2,vaes,vpclmulqdq,aes,pclmul")))

// One GHASH term per register pair: x times (H^(16 - 2p), H^(15 - 2p)), Karatsuba's middle
// product against the XOR of each power's halves.
TW_WIDE inline void WideTerm(const __m256i& x, const __m256i& h, const __m256i& k, __m256i& lo, __m256i& hi,
                             __m256i& mid) {
  lo = _mm256_xor_si256(lo, _mm256_clmulepi64_epi128(x, h, 0x00));
  hi = _mm256_xor_si256(hi, _mm256_clmulepi64_epi128(x, h, 0x11));
  mid = _mm256_xor_si256(mid, _mm256_clmulepi64_epi128(_mm256_xor_si256(x, _mm256_shuffle_epi32(x, 0x4e)), k, 0x00));
}

// Folds the two lanes' sums and reduces them.
TW_WIDE inline __m128i WideReduce(const __m256i& lo, const __m256i& hi, const __m256i& mid) {
  const __m128i l = _mm_xor_si128(_mm256_castsi256_si128(lo), _mm256_extracti128_si256(lo, 1));
  const __m128i h = _mm_xor_si128(_mm256_castsi256_si128(hi), _mm256_extracti128_si256(hi, 1));
  __m128i m = _mm_xor_si128(_mm256_castsi256_si128(mid), _mm256_extracti128_si256(mid, 1));
  m = _mm_xor_si128(m, _mm_xor_si128(l, h));
  return Reduce(l, m, h);
}

// The counter pairs before the first pass: lanes hold the blocks 1 and 2 after `counter`.
TW_WIDE inline __m256i WideFirstCounters(const uint8_t counter[16], const __m128i& rev128) {
  return _mm256_add_epi32(_mm256_broadcastsi128_si256(_mm_shuffle_epi8(Load(counter), rev128)),
                          _mm256_setr_epi32(1, 0, 0, 0, 2, 0, 0, 0));
}

// The sixteen counter blocks of a pass, whitened with the first round key; ctr moves on by sixteen.
TW_WIDE inline void WideStartPass(__m256i b[8], __m256i& ctr, const __m256i& rev, const __m256i& k0) {
  const __m256i two = _mm256_setr_epi32(2, 0, 0, 0, 2, 0, 0, 0);
  for (int i = 0; i < 8; ++i) {
    b[i] = _mm256_xor_si256(_mm256_shuffle_epi8(ctr, rev), k0);
    ctr = _mm256_add_epi32(ctr, two);
  }
}

// One AES round over the eight registers of a pass.
TW_WIDE inline void WideRound(__m256i b[8], const __m256i& key) {
  b[0] = _mm256_aesenc_epi128(b[0], key);
  b[1] = _mm256_aesenc_epi128(b[1], key);
  b[2] = _mm256_aesenc_epi128(b[2], key);
  b[3] = _mm256_aesenc_epi128(b[3], key);
  b[4] = _mm256_aesenc_epi128(b[4], key);
  b[5] = _mm256_aesenc_epi128(b[5], key);
  b[6] = _mm256_aesenc_epi128(b[6], key);
  b[7] = _mm256_aesenc_epi128(b[7], key);
}

// Stores the last counter used: the low lane of ctr holds the one after it.
TW_WIDE inline void WideStoreCounter(uint8_t counter[16], const __m256i& ctr, const __m128i& rev128) {
  Store(counter, _mm_shuffle_epi8(_mm_sub_epi32(_mm256_castsi256_si128(ctr), _mm_setr_epi32(1, 0, 0, 0)), rev128));
}

// GHASH over groups of sixteen blocks, two per 256-bit register against (H^16, H^15) ..
// (H^2, H), with one reduction per group. Returns the blocks done.
TW_WIDE size_t WideGhashGroups(const GcmContext::ClmulKey& hk, uint8_t y[16], const uint8_t* data, size_t blocks) {
  const __m256i rev = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
  __m256i pw[8], kr[8];
  for (int p = 0; p < 8; ++p) {
    pw[p] = _mm256_set_m128i(Load(hk.pow[14 - 2 * p]), Load(hk.pow[15 - 2 * p]));
    kr[p] = _mm256_set_m128i(Load(hk.kar[14 - 2 * p]), Load(hk.kar[15 - 2 * p]));
  }
  __m128i acc = _mm_shuffle_epi8(Load(y), _mm256_castsi256_si128(rev));
  size_t done = 0;
  for (; blocks - done >= 16; done += 16, data += 256) {
    __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256(), mid = _mm256_setzero_si256();
    for (int p = 0; p < 8; ++p) {
      __m256i x = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32 * p)), rev);
      if (p == 0) x = _mm256_xor_si256(x, _mm256_zextsi128_si256(acc));
      WideTerm(x, pw[p], kr[p], lo, hi, mid);
    }
    acc = WideReduce(lo, hi, mid);
  }
  Store(y, _mm_shuffle_epi8(acc, _mm256_castsi256_si128(rev)));
  return done;
}

// Counter mode over groups of sixteen blocks, two per 256-bit register. Returns the blocks done;
// counter is the last one used.
TW_WIDE size_t WideCtrGroups(const uint8_t* keys, int rounds, uint8_t counter[16], const uint8_t* in, uint8_t* out,
                             size_t blocks) {
  const __m128i rev128 = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m256i rev = _mm256_broadcastsi128_si256(rev128);
  __m256i k[15];
  for (int r = 0; r <= rounds; ++r) k[r] = _mm256_broadcastsi128_si256(Load(keys + 16 * r));
  __m256i ctr = WideFirstCounters(counter, rev128);
  size_t done = 0;
  for (; blocks - done >= 16; done += 16, in += 256, out += 256) {
    __m256i b[8];
    WideStartPass(b, ctr, rev, k[0]);
    for (int r = 1; r < rounds; ++r) WideRound(b, k[r]);
    for (int i = 0; i < 8; ++i) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * i));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * i),
                          _mm256_xor_si256(x, _mm256_aesenclast_epi128(b[i], k[rounds])));
    }
  }
  WideStoreCounter(counter, ctr, rev128);
  for (auto& x : k) x = _mm256_setzero_si256();
  return done;
}

// Sealing with the 256-bit instructions: sixteen blocks per pass, two per register, the pass
// hashing the sixteen ciphertext blocks of the pass before between its AES rounds. Returns the
// blocks done (a multiple of sixteen); counter is the last one used.
TW_WIDE size_t WideSealGroups(const uint8_t* keys, int rounds, const GcmContext::ClmulKey& hk, uint8_t y[16],
                              uint8_t counter[16], const uint8_t* in, uint8_t* out, size_t blocks) {
  const __m128i rev128 = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m256i rev = _mm256_broadcastsi128_si256(rev128);
  const __m128i* rk = reinterpret_cast<const __m128i*>(keys);
  __m256i pw[8], kr[8];
  for (int p = 0; p < 8; ++p) {
    pw[p] = _mm256_set_m128i(Load(hk.pow[14 - 2 * p]), Load(hk.pow[15 - 2 * p]));
    kr[p] = _mm256_set_m128i(Load(hk.kar[14 - 2 * p]), Load(hk.kar[15 - 2 * p]));
  }
  __m128i acc = _mm_shuffle_epi8(Load(y), rev128);
  __m256i ctr = WideFirstCounters(counter, rev128);
  __m256i g[8];
  for (auto& x : g) x = _mm256_setzero_si256();
  bool pending = false;
  size_t done = 0;
  for (; blocks - done >= 16; done += 16, in += 256, out += 256) {
    __m256i b[8];
    WideStartPass(b, ctr, rev, _mm256_broadcastsi128_si256(_mm_loadu_si128(rk)));
    __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256(), mid = _mm256_setzero_si256();
    if (pending) g[0] = _mm256_xor_si256(g[0], _mm256_zextsi128_si256(acc));
    for (int r = 1; r < rounds; ++r) {
      WideRound(b, _mm256_broadcastsi128_si256(_mm_loadu_si128(rk + r)));
      if (pending && r <= 8) WideTerm(g[r - 1], pw[r - 1], kr[r - 1], lo, hi, mid);
    }
    if (pending) acc = WideReduce(lo, hi, mid);
    const __m256i klast = _mm256_broadcastsi128_si256(_mm_loadu_si128(rk + rounds));
    for (int i = 0; i < 8; ++i) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * i));
      const __m256i c = _mm256_xor_si256(x, _mm256_aesenclast_epi128(b[i], klast));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * i), c);
      g[i] = _mm256_shuffle_epi8(c, rev);
    }
    pending = true;
  }
  if (pending) {
    __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256(), mid = _mm256_setzero_si256();
    g[0] = _mm256_xor_si256(g[0], _mm256_zextsi128_si256(acc));
    for (int p = 0; p < 8; ++p) WideTerm(g[p], pw[p], kr[p], lo, hi, mid);
    acc = WideReduce(lo, hi, mid);
  }
  Store(y, _mm_shuffle_epi8(acc, rev128));
  WideStoreCounter(counter, ctr, rev128);
  return done;
}

size_t HwCtrGroups(int mode, const uint8_t* keys, int rounds, const GcmContext::ClmulKey& hk, uint8_t y[16],
                   uint8_t counter[16], const uint8_t* in, uint8_t* out, size_t blocks) {
  if (mode == kCtrSeal) return CtrGroups<kCtrSeal>(keys, rounds, hk, y, counter, in, out, blocks);
  if (mode == kCtrOpen) return CtrGroups<kCtrOpen>(keys, rounds, hk, y, counter, in, out, blocks);
  return CtrGroups<kCtrOnly>(keys, rounds, hk, y, counter, in, out, blocks);
}

#undef TW_GHASH_TERM

#else

enum CtrMode { kCtrOnly = 0, kCtrSeal = 1, kCtrOpen = 2 };

bool DetectClmul() { return false; }
bool ClmulDetected() { return false; }
void ClmulInit(const uint8_t*, GcmContext::ClmulKey*) {}
void ClmulBlocks(const GcmContext::ClmulKey&, uint8_t*, const uint8_t*, size_t) {}
size_t HwCtrGroups(int, const uint8_t*, int, const GcmContext::ClmulKey&, uint8_t*, uint8_t*, const uint8_t*,
                   uint8_t*, size_t) {
  return 0;
}
size_t WideGhashGroups(const GcmContext::ClmulKey&, uint8_t*, const uint8_t*, size_t) { return 0; }
size_t WideCtrGroups(const uint8_t*, int, uint8_t*, const uint8_t*, uint8_t*, size_t) { return 0; }
size_t WideSealGroups(const uint8_t*, int, const GcmContext::ClmulKey&, uint8_t*, uint8_t*, const uint8_t*, uint8_t*,
                      size_t) {
  return 0;
}

#endif

}  // namespace

bool GhashHardwareAvailable() { return DetectClmul(); }

GcmContext::GcmContext() { WipeBytes(&state_, sizeof state_); }

GcmContext::~GcmContext() { WipeBytes(&state_, sizeof state_); }

void GcmContext::Clear() {
  aes_.Clear();
  WipeBytes(&state_, sizeof state_);
}

int GcmContext::SetKey(const uint8_t* key, int length) {
  if (!aes_.Allocated()) return kErrOutOfMemory;
  if (length != 16 && length != 24 && length != 32) return kErrCipherKeyLength;
  Clear();
  aes_.SetHardwareAllowed(hw_allowed_);
  int rc = aes_.SetEncryptKey(key, length);
  if (rc != kOk) return rc;
  uint8_t h[16] = {};
  rc = aes_.EncryptBlock(h, h);
  if (rc != kOk) return rc;
  BuildTable(h, state_.hl, state_.hh);
  state_.use_clmul = hw_allowed_ && GhashHardwareAvailable();
  // Made whenever the processor can, even while masked off, so that allowing the instructions
  // again later finds them ready.
  if (ClmulDetected()) ClmulInit(h, &state_.clmul);
  WipeBytes(h, sizeof h);
  state_.has_key = 1;
  Restart();
  return kOk;
}

void GcmContext::SetHardwareAllowed(bool allowed) {
  hw_allowed_ = allowed;
  aes_.SetHardwareAllowed(allowed);
  state_.use_clmul = state_.has_key && allowed && GhashHardwareAvailable();
}

void GcmContext::Restart() {
  WipeBytes(state_.y, sizeof state_.y);
  WipeBytes(state_.counter, sizeof state_.counter);
  WipeBytes(state_.j0, sizeof state_.j0);
  WipeBytes(state_.scratch, sizeof state_.scratch);
  state_.iv_bytes = state_.aad_bytes = state_.data_bytes = 0;
  state_.y_fill = 0;
  state_.stream_used = 16;
  state_.blocks_left = kMaxBlocks;
  state_.phase = kPhaseIv;
}

int GcmContext::CopyFrom(const GcmContext& other) {
  if (this == &other) return kOk;
  int rc = aes_.CopyFrom(other.aes_);
  if (rc != kOk) return rc;
  state_ = other.state_;
  hw_allowed_ = other.hw_allowed_;
  return kOk;
}

void GcmContext::MultiplyY() {
  if (state_.use_clmul) {
    ClmulBlocks(state_.clmul, state_.y, kZeroBlock, 1);
  } else {
    TableMultiply(state_.hl, state_.hh, state_.y);
  }
  state_.y_fill = 0;
}

void GcmContext::GhashBlocks(const uint8_t* data, size_t blocks) {
  if (state_.use_clmul && blocks >= 16 && CpuHas(kCpuVpclmul)) {
    const size_t done = WideGhashGroups(state_.clmul, state_.y, data, blocks);
    data += 16 * done;
    blocks -= done;
  }
  if (blocks == 0) return;
  if (state_.use_clmul) {
    ClmulBlocks(state_.clmul, state_.y, data, blocks);
  } else {
    TableBlocks(state_.hl, state_.hh, state_.y, data, blocks);
  }
}

// Bytes XORed into the accumulator as they come; whole blocks in bulk when aligned.
void GcmContext::GhashAbsorb(const uint8_t* data, size_t length) {
  while (length > 0 && state_.y_fill != 0) {
    state_.y[state_.y_fill++] ^= *data++;
    --length;
    if (state_.y_fill == 16) MultiplyY();
  }
  const size_t blocks = length / 16;
  if (blocks > 0) {
    GhashBlocks(data, blocks);
    data += 16 * blocks;
    length -= 16 * blocks;
  }
  for (size_t i = 0; i < length; ++i) state_.y[state_.y_fill++] ^= data[i];
}

int GcmContext::AddIv(const uint8_t* iv, size_t length) {
  if (!state_.has_key || state_.phase != kPhaseIv) return kAeadMisuse;
  // The first 12 bytes are kept for the 96-bit shortcut; all of them go into GHASH in case the IV
  // turns out longer.
  for (size_t i = 0; i < length && state_.iv_bytes + i < 12; ++i) state_.scratch[state_.iv_bytes + i] = iv[i];
  state_.iv_bytes += length;
  GhashAbsorb(iv, length);
  return kOk;
}

int GcmContext::EndIv() {
  if (state_.iv_bytes == 0) return kErrAeadNonceLength;
  if (state_.iv_bytes == 12) {
    std::memcpy(state_.j0, state_.scratch, 12);
    state_.j0[12] = state_.j0[13] = state_.j0[14] = 0;
    state_.j0[15] = 1;
  } else {
    if (state_.y_fill > 0) MultiplyY();
    uint8_t lengths[16] = {};
    StoreBe64(lengths + 8, state_.iv_bytes * 8);
    GhashBlocks(lengths, 1);
    std::memcpy(state_.j0, state_.y, 16);
  }
  std::memcpy(state_.counter, state_.j0, 16);
  WipeBytes(state_.y, sizeof state_.y);
  WipeBytes(state_.scratch, sizeof state_.scratch);
  state_.y_fill = 0;
  state_.phase = kPhaseAad;
  return kOk;
}

int GcmContext::AddAad(const uint8_t* aad, size_t length) {
  if (!state_.has_key) return kAeadMisuse;
  if (state_.phase == kPhaseIv) {
    const int rc = EndIv();
    if (rc != kOk) return rc;
  }
  if (state_.phase != kPhaseAad) return kAeadMisuse;
  state_.aad_bytes += length;
  GhashAbsorb(aad, length);
  return kOk;
}

int GcmContext::EnterData() {
  if (state_.phase == kPhaseIv) {
    const int rc = EndIv();
    if (rc != kOk) return rc;
  }
  if (state_.phase == kPhaseAad) {
    if (state_.y_fill > 0) MultiplyY();
    state_.stream_used = 16;
    state_.phase = kPhaseData;
  }
  return state_.phase == kPhaseData ? kOk : kAeadMisuse;
}

// Encrypts the next counter blocks (inc32 of the last one) and XORs them over in.
void GcmContext::CtrBlocks(const uint8_t* in, uint8_t* out, size_t blocks) {
  const uint8_t* keys = aes_.HardwareRoundKeys();
  if (keys && blocks >= 16 && CpuHas(kCpuVaes)) {
    const size_t done = WideCtrGroups(keys, aes_.Rounds(), state_.counter, in, out, blocks);
    in += 16 * done;
    out += 16 * done;
    blocks -= done;
  }
  if (keys && blocks >= 8 && GhashHardwareAvailable()) {
    const size_t done = HwCtrGroups(kCtrOnly, keys, aes_.Rounds(), state_.clmul, state_.y, state_.counter, in, out,
                                    blocks);
    in += 16 * done;
    out += 16 * done;
    blocks -= done;
  }
  uint8_t stream[kCtrChunkBlocks * 16];
  uint32_t ctr = LoadBe32(state_.counter + 12);
  while (blocks > 0) {
    const size_t m = blocks < kCtrChunkBlocks ? blocks : kCtrChunkBlocks;
    for (size_t i = 0; i < m; ++i) {
      std::memcpy(stream + 16 * i, state_.counter, 12);
      StoreBe32(stream + 16 * i + 12, ++ctr);
    }
    aes_.EncryptBlocks(stream, stream, m);
    XorBytes(out, in, stream, 16 * m);
    in += 16 * m;
    out += 16 * m;
    blocks -= m;
  }
  StoreBe32(state_.counter + 12, ctr);
  WipeBytes(stream, sizeof stream);
}

void GcmContext::NextKeystreamBlock() {
  StoreBe32(state_.counter + 12, LoadBe32(state_.counter + 12) + 1);
  aes_.EncryptBlock(state_.counter, state_.scratch);
  --state_.blocks_left;
  state_.stream_used = 0;
}

int GcmContext::Crypt(const uint8_t* in, size_t length, uint8_t* out, bool encrypt) {
  if (!state_.has_key) return kAeadMisuse;
  int rc = EnterData();
  if (rc != kOk) return rc;
  const size_t buffered = 16 - state_.stream_used;
  if (length > buffered && (length - buffered + 15) / 16 > state_.blocks_left) return kAeadCounterExhausted;
  state_.data_bytes += length;

  // The rest of the current keystream block; the GHASH fill runs in step with it.
  while (length > 0 && state_.stream_used < 16) {
    const uint8_t c_in = *in++;
    const uint8_t c_out = c_in ^ state_.scratch[state_.stream_used++];
    state_.y[state_.y_fill++] ^= encrypt ? c_out : c_in;
    *out++ = c_out;
    --length;
    if (state_.y_fill == 16) MultiplyY();
  }
  // Whole blocks in chunks that stay in the first-level cache between the two passes. GHASH
  // reads the ciphertext: before decrypting (in may be out), after encrypting.
  size_t blocks = length / 16;
  const uint8_t* keys = aes_.HardwareRoundKeys();
  if (encrypt && keys && state_.use_clmul && blocks >= 16 && CpuHas(kCpuVaes | kCpuVpclmul)) {
    const size_t done = WideSealGroups(keys, aes_.Rounds(), state_.clmul, state_.y, state_.counter, in, out, blocks);
    state_.blocks_left -= static_cast<uint32_t>(done);
    in += 16 * done;
    out += 16 * done;
    length -= 16 * done;
    blocks -= done;
  }
  if (keys && state_.use_clmul && blocks >= 8) {
    const size_t done = HwCtrGroups(encrypt ? kCtrSeal : kCtrOpen, keys, aes_.Rounds(), state_.clmul, state_.y,
                                    state_.counter, in, out, blocks);
    state_.blocks_left -= static_cast<uint32_t>(done);
    in += 16 * done;
    out += 16 * done;
    length -= 16 * done;
    blocks -= done;
  }
  while (blocks > 0) {
    const size_t m = blocks < 4 * kCtrChunkBlocks ? blocks : 4 * kCtrChunkBlocks;
    if (!encrypt) GhashBlocks(in, m);
    CtrBlocks(in, out, m);
    if (encrypt) GhashBlocks(out, m);
    state_.blocks_left -= static_cast<uint32_t>(m);
    in += 16 * m;
    out += 16 * m;
    length -= 16 * m;
    blocks -= m;
  }
  if (length > 0) {
    NextKeystreamBlock();
    for (size_t i = 0; i < length; ++i) {
      const uint8_t c_out = in[i] ^ state_.scratch[state_.stream_used++];
      state_.y[state_.y_fill++] ^= encrypt ? c_out : in[i];
      out[i] = c_out;
    }
  }
  return kOk;
}

void GcmContext::ComputeTag(uint8_t full[16]) {
  if (state_.y_fill > 0) MultiplyY();
  uint8_t lengths[16];
  StoreBe64(lengths, state_.aad_bytes * 8);
  StoreBe64(lengths + 8, state_.data_bytes * 8);
  GhashBlocks(lengths, 1);
  aes_.EncryptBlock(state_.j0, full);
  XorBytes(full, full, state_.y, 16);
  state_.phase = kPhaseDone;
}

int GcmContext::Finish(uint8_t* tag, int* tag_length, bool make) {
  if (!state_.has_key || !tag || !tag_length) return kAeadMisuse;
  int n = *tag_length == 0 ? kDefaultTagBytes : *tag_length;
  if (n > kMaxTagBytes) n = kMaxTagBytes;
  if (n < kMinTagBytes) return kAeadMisuse;
  int rc = EnterData();
  if (rc != kOk) return rc;
  uint8_t full[16];
  ComputeTag(full);
  if (make) {
    std::memcpy(tag, full, static_cast<size_t>(n));
    *tag_length = n;
  } else if (!ConstantTimeEqual(full, tag, static_cast<size_t>(n))) {
    rc = kAeadTagMismatch;
  }
  WipeBytes(full, sizeof full);
  return rc;
}

int GcmContext::Seal(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
                     const uint8_t* in, uint8_t* out, size_t length, uint8_t* tag, size_t tag_length) {
  if (tag_length == 0) tag_length = kDefaultTagBytes;
  if (tag_length < kMinTagBytes || tag_length > kMaxTagBytes) return kErrAeadTagLength;
  if (!state_.has_key) return kErrAeadNotStarted;
  if (nonce_length == 0) return kErrAeadNonceLength;
  if ((length + 15) / 16 > kMaxBlocks) return kErrAeadTooManyBlocks;
  Restart();
  AddIv(nonce, nonce_length);
  AddAad(aad, aad_length);
  const int rc = Crypt(in, length, out, true);
  if (rc != kOk) return rc == kAeadCounterExhausted ? kErrAeadTooManyBlocks : rc;
  uint8_t full[16];
  ComputeTag(full);
  std::memcpy(tag, full, tag_length);
  WipeBytes(full, sizeof full);
  return kOk;
}

int GcmContext::Open(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
                     const uint8_t* in, uint8_t* out, size_t length, const uint8_t* tag, size_t tag_length) {
  if (tag_length == 0) tag_length = kDefaultTagBytes;
  if (tag_length < kMinTagBytes || tag_length > kMaxTagBytes) return kErrAeadTagLength;
  if (!state_.has_key) return kErrAeadNotStarted;
  if (nonce_length == 0) return kErrAeadNonceLength;
  const size_t blocks = (length + 15) / 16;
  if (blocks > kMaxBlocks) return kErrAeadTooManyBlocks;
  Restart();
  AddIv(nonce, nonce_length);
  AddAad(aad, aad_length);
  EnterData();
  // Authenticate first; nothing is decrypted unless the tag holds.
  GhashAbsorb(in, length);
  state_.data_bytes = length;
  uint8_t full[16];
  ComputeTag(full);
  const bool ok = ConstantTimeEqual(full, tag, tag_length);
  WipeBytes(full, sizeof full);
  if (!ok) return kErrAeadAuthentication;
  const size_t whole = length / 16;
  CtrBlocks(in, out, whole);
  if (length > 16 * whole) {
    uint8_t stream[16];
    StoreBe32(state_.counter + 12, LoadBe32(state_.counter + 12) + 1);
    aes_.EncryptBlock(state_.counter, stream);
    XorBytes(out + 16 * whole, in + 16 * whole, stream, length - 16 * whole);
    WipeBytes(stream, sizeof stream);
  }
  return kOk;
}

}  // namespace tw
