#include "crypto/symmetric/sha512.h"

#include <cstring>

#include "crypto/symmetric/cpu_features.h"
#include "crypto/symmetric/digest_bits.h"
#include "foundation/byte_string.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define TW_SHA512_X86 1
#endif

namespace tw {
namespace {

using digest::LoadBe64;
using digest::AddWorkingState;
using digest::Rotr64;

constexpr uint64_t kInit[4][8] = {
    {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1, 0x510e527fade682d1,
     0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179},
    {0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17, 0x152fecd8f70e5939, 0x67332667ffc00b31,
     0x8eb44a8768581511, 0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4},
    {0x8c3d37c819544da2, 0x73e1996689dcd4d6, 0x1dfab7ae32ff9c82, 0x679dd514582f9fcf, 0x0f6d2b697bd44da8,
     0x77e36f7304c48942, 0x3f9d85a86a1d36c8, 0x1112e6ad91d692a1},
    {0x22312194fc2bf72c, 0x9f555fa3c84c64c2, 0x2393b86b6f53b151, 0x963877195940eabd, 0x96283ee2a88effe3,
     0xbe5e1e2553863992, 0x2b0199fc2c85b8aa, 0x0eb72ddc81c52ca2}};

constexpr int kDigestSizes[4] = {64, 48, 28, 32};

alignas(32) constexpr uint64_t kK[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

#define S512_CH(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define S512_MAJ(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
#define S512_S0(x) (Rotr64(x, 28) ^ Rotr64(x, 34) ^ Rotr64(x, 39))
#define S512_S1(x) (Rotr64(x, 14) ^ Rotr64(x, 18) ^ Rotr64(x, 41))
#define S512_s0(x) (Rotr64(x, 1) ^ Rotr64(x, 8) ^ ((x) >> 7))
#define S512_s1(x) (Rotr64(x, 19) ^ Rotr64(x, 61) ^ ((x) >> 6))
// The round's W+K: computed in place for the portable code, read from memory by the AVX2 code.
#define S512_W(i) \
  (kK[i] + (w[(i) & 15] += S512_s1(w[((i) + 14) & 15]) + w[((i) + 9) & 15] + S512_s0(w[((i) + 1) & 15])))
#define S512_WLOAD(i) (kK[i] + w[(i) & 15])
#define S512_ROUND(a, b, c, d, e, f, g, h, i, wk)            \
  {                                                          \
    uint64_t t1 = h + S512_S1(e) + S512_CH(e, f, g) + (wk); \
    d += t1;                                                 \
    h = t1 + S512_S0(a) + S512_MAJ(a, b, c);                 \
  }
#define S512_EIGHT(i, X)                                   \
  S512_ROUND(a, b, c, d, e, f, g, h, (i) + 0, X((i) + 0)) \
  S512_ROUND(h, a, b, c, d, e, f, g, (i) + 1, X((i) + 1)) \
  S512_ROUND(g, h, a, b, c, d, e, f, (i) + 2, X((i) + 2)) \
  S512_ROUND(f, g, h, a, b, c, d, e, (i) + 3, X((i) + 3)) \
  S512_ROUND(e, f, g, h, a, b, c, d, (i) + 4, X((i) + 4)) \
  S512_ROUND(d, e, f, g, h, a, b, c, (i) + 5, X((i) + 5)) \
  S512_ROUND(c, d, e, f, g, h, a, b, (i) + 6, X((i) + 6)) \
  S512_ROUND(b, c, d, e, f, g, h, a, (i) + 7, X((i) + 7))

void CompressPortable(uint64_t* state, const uint8_t* p, size_t blocks) {
  for (; blocks > 0; --blocks, p += 128) {
    uint64_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBe64(p + 8 * i);
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    S512_EIGHT(0, S512_WLOAD)
    S512_EIGHT(8, S512_WLOAD)
    S512_EIGHT(16, S512_W)
    S512_EIGHT(24, S512_W)
    S512_EIGHT(32, S512_W)
    S512_EIGHT(40, S512_W)
    S512_EIGHT(48, S512_W)
    S512_EIGHT(56, S512_W)
    S512_EIGHT(64, S512_W)
    S512_EIGHT(72, S512_W)
    AddWorkingState(state, a, b, c, d, e, f, g, h);
  }
}

#ifdef TW_SHA512_X86
#define TW_SHA512_AVX2 __attribute__((target("avx2,bmi,bmi2")))

// AVX2 has no 64-bit rotate: each one is two shifts, XORed with the other terms.
template <int N>
TW_SHA512_AVX2 __attribute__((always_inline)) inline __m256i Shr(__m256i x) {
  return _mm256_srli_epi64(x, N);
}
template <int N>
TW_SHA512_AVX2 __attribute__((always_inline)) inline __m256i Shl(__m256i x) {
  return _mm256_slli_epi64(x, N);
}
TW_SHA512_AVX2 __attribute__((always_inline)) inline __m256i Xor3(__m256i a, __m256i b, __m256i c) {
  return _mm256_xor_si256(_mm256_xor_si256(a, b), c);
}

// W(t) and W(t+1) of both blocks, from the ring x of W(t-16..t-1), into x[K]: the half that
// needs only older words, then the half that needs the last pair.
template <int K>
TW_SHA512_AVX2 __attribute__((always_inline)) inline __m256i ScheduleOld(const __m256i* x) {
  const __m256i w16 = x[K], w14 = x[(K + 1) & 7], w8 = x[(K + 4) & 7], w6 = x[(K + 5) & 7];
  const __m256i w15 = _mm256_alignr_epi8(w14, w16, 8);
  const __m256i w7 = _mm256_alignr_epi8(w6, w8, 8);
  const __m256i s0 = Xor3(Xor3(Shr<1>(w15), Shl<63>(w15), Shr<8>(w15)), Shl<56>(w15), Shr<7>(w15));
  return _mm256_add_epi64(_mm256_add_epi64(w16, s0), w7);
}
template <int K>
TW_SHA512_AVX2 __attribute__((always_inline)) inline void ScheduleNew(__m256i* x, __m256i partial) {
  const __m256i w2 = x[(K + 7) & 7];
  const __m256i s1 = Xor3(Xor3(Shr<19>(w2), Shl<45>(w2), Shr<61>(w2)), Shl<3>(w2), Shr<6>(w2));
  x[K] = _mm256_add_epi64(partial, s1);
}

// Stores W+K of pair k (two words of each block) as A(2k), A(2k+1), B(2k), B(2k+1).
TW_SHA512_AVX2 __attribute__((always_inline)) inline void StoreWk(uint64_t* to, __m256i x, int k) {
  const __m256i key =
      _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kK + 2 * k)));
  _mm256_store_si256(reinterpret_cast<__m256i*>(to), _mm256_add_epi64(x, key));
}

// The AVX2 code's rounds read W+K from memory, take Maj as b ^ ((a ^ b) & (b ^ c)) (this round's
// a ^ b is the next round's b ^ c), and add Sigma0(a) into the new a only at the start of the
// next round, off the path from e to e.
#define S512_FAST(a, b, c, d, e, f, g, h, wk, ab, bc) \
  {                                                    \
    h += (wk);                                         \
    a += sigma0;                                       \
    h += (e) & (f);                                    \
    h += ~(e) & (g);                                   \
    h += S512_S1(e);                                   \
    ab = a ^ b;                                        \
    d += h;                                            \
    sigma0 = S512_S0(a);                               \
    h += (ab & bc) ^ b;                                \
  }
// Round 8n + j of the AVX2 code, W+K at at[i].
#define S512_R0(at, i) S512_FAST(a, b, c, d, e, f, g, h, at[i], x0, x1)
#define S512_R1(at, i) S512_FAST(h, a, b, c, d, e, f, g, at[i], x1, x0)
#define S512_R2(at, i) S512_FAST(g, h, a, b, c, d, e, f, at[i], x0, x1)
#define S512_R3(at, i) S512_FAST(f, g, h, a, b, c, d, e, at[i], x1, x0)
#define S512_R4(at, i) S512_FAST(e, f, g, h, a, b, c, d, at[i], x0, x1)
#define S512_R5(at, i) S512_FAST(d, e, f, g, h, a, b, c, at[i], x1, x0)
#define S512_R6(at, i) S512_FAST(c, d, e, f, g, h, a, b, at[i], x0, x1)
#define S512_R7(at, i) S512_FAST(b, c, d, e, f, g, h, a, at[i], x1, x0)
#define S512_SIXTEEN(at)                                                                          \
  S512_R0(at, 0) S512_R1(at, 1) S512_R2(at, 4) S512_R3(at, 5) S512_R4(at, 8) S512_R5(at, 9)       \
  S512_R6(at, 12) S512_R7(at, 13) S512_R0(at, 16) S512_R1(at, 17) S512_R2(at, 20) S512_R3(at, 21) \
  S512_R4(at, 24) S512_R5(at, 25) S512_R6(at, 28) S512_R7(at, 29)
// Two rounds of the first block with one step of the schedule split between them.
#define S512_STEP(k, first, second)                     \
  first(at, 4 * (k)) partial = ScheduleOld<k>(x);       \
  second(at, 4 * (k) + 1) ScheduleNew<k>(x, partial);   \
  StoreWk(next + 4 * (k), x[k], 8 * group + 8 + (k));

// Two blocks at a time: the schedule of both runs four words to a register, interleaved with the
// rounds of the first block; the second block's rounds then read their W+K from memory. An odd
// last block is paired with itself. The source order is the interleaving; GCC's second scheduling
// pass would cluster the vector work again and cost a few per cent.
__attribute__((optimize("no-schedule-insns2"))) TW_SHA512_AVX2 void CompressAvx2(uint64_t* state, const uint8_t* p,
                                                                                 size_t blocks) {
  const __m256i order =
      _mm256_set_epi64x(0x08090a0b0c0d0e0f, 0x0001020304050607, 0x08090a0b0c0d0e0f, 0x0001020304050607);
  alignas(32) uint64_t wk[160];
  while (blocks > 0) {
    const uint8_t* second = blocks > 1 ? p + 128 : p;
    __m256i x[8];
    for (int k = 0; k < 8; ++k) {
      const __m256i both = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + 16 * k)), 1);
      x[k] = _mm256_shuffle_epi8(both, order);
      StoreWk(wk + 4 * k, x[k], k);
    }
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint64_t x0, x1 = b ^ c, sigma0 = 0;
    for (int group = 0; group < 4; ++group) {
      const uint64_t* const at = wk + 32 * group;
      uint64_t* const next = wk + 32 * group + 32;
      __m256i partial;
      S512_STEP(0, S512_R0, S512_R1)
      S512_STEP(1, S512_R2, S512_R3)
      S512_STEP(2, S512_R4, S512_R5)
      S512_STEP(3, S512_R6, S512_R7)
      S512_STEP(4, S512_R0, S512_R1)
      S512_STEP(5, S512_R2, S512_R3)
      S512_STEP(6, S512_R4, S512_R5)
      S512_STEP(7, S512_R6, S512_R7)
    }
    S512_SIXTEEN((wk + 128))
    a += sigma0;
    AddWorkingState(state, a, b, c, d, e, f, g, h);
    if (blocks == 1) break;
    a = state[0], b = state[1], c = state[2], d = state[3];
    e = state[4], f = state[5], g = state[6], h = state[7];
    x1 = b ^ c;
    sigma0 = 0;
    for (int group = 0; group < 5; ++group) {
      const uint64_t* const at = wk + 32 * group + 2;
      S512_SIXTEEN(at)
    }
    a += sigma0;
    AddWorkingState(state, a, b, c, d, e, f, g, h);
    blocks -= 2;
    p += 256;
  }
  WipeBytes(wk, sizeof wk);
}
#undef S512_FAST
#undef S512_R0
#undef S512_R1
#undef S512_R2
#undef S512_R3
#undef S512_R4
#undef S512_R5
#undef S512_R6
#undef S512_R7
#undef S512_SIXTEEN
#undef S512_STEP
#undef TW_SHA512_AVX2
#endif

void Compress(uint64_t* state, const uint8_t* p, size_t blocks) {
#ifdef TW_SHA512_X86
  if (CpuHas(kCpuAvx2 | kCpuBmi2)) {
    CompressAvx2(state, p, blocks);
    return;
  }
#endif
  CompressPortable(state, p, blocks);
}

#undef S512_CH
#undef S512_MAJ
#undef S512_S0
#undef S512_S1
#undef S512_s0
#undef S512_s1
#undef S512_W
#undef S512_WLOAD
#undef S512_ROUND
#undef S512_EIGHT

}  // namespace

Sha512Context::~Sha512Context() { WipeBytes(this, sizeof *this); }

int Sha512Context::digest_size() const { return kDigestSizes[static_cast<int>(variant_)]; }

void Sha512Context::Init() {
  std::memcpy(state_, kInit[static_cast<int>(variant_)], sizeof state_);
  bytesLo_ = 0;
  bytesHi_ = 0;
  used_ = 0;
  std::memset(buffer_, 0, sizeof buffer_);
  std::memset(digest_, 0, sizeof digest_);
  finished_ = false;
}

void Sha512Context::Update(const void* bytes, size_t count) {
  if (finished_) Init();
  if (bytes == nullptr || count == 0) return;
  const uint64_t before = bytesLo_;
  bytesLo_ += count;
  if (bytesLo_ < before) ++bytesHi_;
  digest::BufferBlocks<kBlockSize>(buffer_, used_, static_cast<const uint8_t*>(bytes), count,
                                   [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
}

const uint8_t* Sha512Context::Final() {
  if (finished_) return digest_;
  uint8_t length[16];
  digest::StoreBe64(length, (bytesHi_ << 3) | (bytesLo_ >> 61));
  digest::StoreBe64(length + 8, bytesLo_ << 3);
  digest::BufferPadding<kBlockSize>(buffer_, used_, length,
                                    [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
  for (int i = 0; i < 8; ++i) digest::StoreBe64(digest_ + 8 * i, state_[i]);
  WipeBytes(state_, sizeof state_);
  WipeBytes(buffer_, sizeof buffer_);
  bytesLo_ = bytesHi_ = 0;
  used_ = 0;
  finished_ = true;
  return digest_;
}

}  // namespace tw
