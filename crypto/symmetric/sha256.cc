#include "crypto/symmetric/sha256.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "crypto/symmetric/aes.h"
#include "crypto/symmetric/digest_bits.h"
#include "foundation/byte_string.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define TW_SHA256_X86 1
#endif

namespace tw {
namespace digest {

bool CpuHasShaExtensions() {
#ifdef TW_SHA256_X86
  static const bool has = [] {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return ssse3 && sse41 && (b & (1u << 29)) != 0;
  }();
  return has;
#else
  return false;
#endif
}

namespace {
std::atomic<bool> g_shaExtensionsAllowed{true};
}

void SetShaExtensionsAllowed(bool allowed) { g_shaExtensionsAllowed.store(allowed, std::memory_order_relaxed); }

bool ShaExtensionsActive() { return g_shaExtensionsAllowed.load(std::memory_order_relaxed) && CpuHasShaExtensions(); }

}  // namespace digest

namespace {

using digest::AddWorkingState;
using digest::LoadBe32;
using digest::Rotr32;

constexpr uint32_t kInit256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr uint32_t kInit224[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                  0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};

alignas(16) constexpr uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

#define S256_CH(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define S256_MAJ(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
#define S256_S0(x) (Rotr32(x, 2) ^ Rotr32(x, 13) ^ Rotr32(x, 22))
#define S256_S1(x) (Rotr32(x, 6) ^ Rotr32(x, 11) ^ Rotr32(x, 25))
#define S256_s0(x) (Rotr32(x, 7) ^ Rotr32(x, 18) ^ ((x) >> 3))
#define S256_s1(x) (Rotr32(x, 17) ^ Rotr32(x, 19) ^ ((x) >> 10))
#define S256_W(i) \
  (w[(i) & 15] += S256_s1(w[((i) + 14) & 15]) + w[((i) + 9) & 15] + S256_s0(w[((i) + 1) & 15]))
#define S256_ROUND(a, b, c, d, e, f, g, h, i, x)              \
  {                                                           \
    uint32_t t1 = h + S256_S1(e) + S256_CH(e, f, g) + kK[i] + (x); \
    d += t1;                                                  \
    h = t1 + S256_S0(a) + S256_MAJ(a, b, c);                  \
  }
#define S256_EIGHT(i, X)                             \
  S256_ROUND(a, b, c, d, e, f, g, h, (i) + 0, X((i) + 0)) \
  S256_ROUND(h, a, b, c, d, e, f, g, (i) + 1, X((i) + 1)) \
  S256_ROUND(g, h, a, b, c, d, e, f, (i) + 2, X((i) + 2)) \
  S256_ROUND(f, g, h, a, b, c, d, e, (i) + 3, X((i) + 3)) \
  S256_ROUND(e, f, g, h, a, b, c, d, (i) + 4, X((i) + 4)) \
  S256_ROUND(d, e, f, g, h, a, b, c, (i) + 5, X((i) + 5)) \
  S256_ROUND(c, d, e, f, g, h, a, b, (i) + 6, X((i) + 6)) \
  S256_ROUND(b, c, d, e, f, g, h, a, (i) + 7, X((i) + 7))
#define S256_WLOAD(i) w[(i) & 15]

void CompressPortable(uint32_t* state, const uint8_t* p, size_t blocks) {
  for (; blocks > 0; --blocks, p += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBe32(p + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    S256_EIGHT(0, S256_WLOAD)
    S256_EIGHT(8, S256_WLOAD)
    S256_EIGHT(16, S256_W)
    S256_EIGHT(24, S256_W)
    S256_EIGHT(32, S256_W)
    S256_EIGHT(40, S256_W)
    S256_EIGHT(48, S256_W)
    S256_EIGHT(56, S256_W)
    AddWorkingState(state, a, b, c, d, e, f, g, h);
  }
}

#undef S256_CH
#undef S256_MAJ
#undef S256_S0
#undef S256_S1
#undef S256_s0
#undef S256_s1
#undef S256_W
#undef S256_ROUND
#undef S256_EIGHT
#undef S256_WLOAD

#ifdef TW_SHA256_X86
#define TW_SHANI __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds, group G of 16, with the schedule for W(4G+4..4G+7) and the first half of
// W(4G+12..15) interleaved, in the order the extensions expect.
template <int G>
TW_SHANI __attribute__((always_inline)) inline void ShaNiGroup(__m128i& s0, __m128i& s1, __m128i* m,
                                                                 const uint8_t* p, __m128i mask) {
  __m128i& mg = m[G & 3];
  if constexpr (G < 4) mg = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * G)), mask);
  __m128i msg = _mm_add_epi32(mg, _mm_load_si128(reinterpret_cast<const __m128i*>(kK + 4 * G)));
  s1 = _mm_sha256rnds2_epu32(s1, s0, msg);
  if constexpr (G >= 3 && G <= 14) {
    __m128i& next = m[(G + 1) & 3];
    next = _mm_add_epi32(next, _mm_alignr_epi8(mg, m[(G + 3) & 3], 4));
    next = _mm_sha256msg2_epu32(next, mg);
  }
  msg = _mm_shuffle_epi32(msg, 0x0e);
  s0 = _mm_sha256rnds2_epu32(s0, s1, msg);
  if constexpr (G >= 1 && G <= 12) m[(G + 3) & 3] = _mm_sha256msg1_epu32(m[(G + 3) & 3], mg);
}

template <int... G>
TW_SHANI __attribute__((always_inline)) inline void ShaNiBlock(__m128i& s0, __m128i& s1, const uint8_t* p,
                                                                 __m128i mask, std::integer_sequence<int, G...>) {
  __m128i m[4];
  (ShaNiGroup<G>(s0, s1, m, p, mask), ...);
}

// The rounds instruction wants the state as ABEF and CDGH; these turn ABCD EFGH into that and back.
TW_SHANI __attribute__((always_inline)) inline void LoadShaNiState(const uint32_t* state, __m128i& s0, __m128i& s1) {
  const __m128i t = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xb1);
  s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1b);
  s0 = _mm_alignr_epi8(t, s1, 8);
  s1 = _mm_blend_epi16(s1, t, 0xf0);
}

TW_SHANI __attribute__((always_inline)) inline void StoreShaNiState(uint32_t* state, __m128i s0, __m128i s1) {
  const __m128i t = _mm_shuffle_epi32(s0, 0x1b);
  s1 = _mm_shuffle_epi32(s1, 0xb1);
  s0 = _mm_blend_epi16(t, s1, 0xf0);
  s1 = _mm_alignr_epi8(s1, t, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), s0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), s1);
}

TW_SHANI void CompressShaNi(uint32_t* state, const uint8_t* p, size_t blocks) {
  const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i s0, s1;
  LoadShaNiState(state, s0, s1);
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i save0 = s0, save1 = s1;
    ShaNiBlock(s0, s1, p, mask, std::make_integer_sequence<int, 16>{});
    s0 = _mm_add_epi32(s0, save0);
    s1 = _mm_add_epi32(s1, save1);
  }
  StoreShaNiState(state, s0, s1);
}

#define TW_SHANI_AES __attribute__((target("sha,sse4.1,ssse3,aes")))

// Step T of the CBC encryption of four blocks, kRounds + 1 steps a block: the XOR with the
// chain, the rounds, the last round and the store.

template <int kRounds, int T>
TW_SHANI_AES __attribute__((always_inline)) inline void CbcStep(__m128i& c, const __m128i* k, const uint8_t* in,
                                                                uint8_t* out) {
  constexpr int kBlock = T / (kRounds + 1), kRound = T % (kRounds + 1);
  if constexpr (kRound == 0) {
    const __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * kBlock)), k[0]);
    c = _mm_xor_si128(c, x);
  } else if constexpr (kRound < kRounds) {
    c = _mm_aesenc_si128(c, k[kRound]);
  } else {
    c = _mm_aesenclast_si128(c, k[kRounds]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * kBlock), c);
  }
}

template <int kRounds, int kFrom, int... T>
TW_SHANI_AES __attribute__((always_inline)) inline void CbcSteps(__m128i& c, const __m128i* k, const uint8_t* in,
                                                                 uint8_t* out, std::integer_sequence<int, T...>) {
  (CbcStep<kRounds, kFrom + T>(c, k, in, out), ...);
}

// Group G of the digest's rounds, then its share of the four CBC blocks.
template <int kRounds, int G>
TW_SHANI_AES __attribute__((always_inline)) inline void StitchedGroup(__m128i& s0, __m128i& s1, __m128i* m,
                                                                      const uint8_t* p, __m128i mask, __m128i& c,
                                                                      const __m128i* k, const uint8_t* in,
                                                                      uint8_t* out) {
  ShaNiGroup<G>(s0, s1, m, p, mask);
  constexpr int kSteps = 4 * (kRounds + 1);
  constexpr int kFrom = G * kSteps / 16, kTo = (G + 1) * kSteps / 16;
  CbcSteps<kRounds, kFrom>(c, k, in, out, std::make_integer_sequence<int, kTo - kFrom>{});
}

template <int kRounds, int... G>
TW_SHANI_AES __attribute__((always_inline)) inline void StitchedBlock(__m128i& s0, __m128i& s1, const uint8_t* p,
                                                                      __m128i mask, __m128i& c, const __m128i* k,
                                                                      const uint8_t* in, uint8_t* out,
                                                                      std::integer_sequence<int, G...>) {
  __m128i m[4];
  (StitchedGroup<kRounds, G>(s0, s1, m, p, mask, c, k, in, out), ...);
}

// One digest block and four CBC blocks per pass, their instructions interleaved in the source so
// that neither waits behind a queue full of the other's dependent work.
template <int kRounds>
TW_SHANI_AES void CompressShaNiBesideCbc(uint32_t* state, const uint8_t* p, size_t blocks, const uint8_t* keys,
                                         const uint8_t* in, uint8_t* out, uint8_t* iv) {
  __m128i k[kRounds + 1];
  for (int r = 0; r <= kRounds; ++r) k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16 * r));
  __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i s0, s1;
  LoadShaNiState(state, s0, s1);
  for (; blocks > 0; --blocks, p += 64, in += 64, out += 64) {
    const __m128i save0 = s0, save1 = s1;
    StitchedBlock<kRounds>(s0, s1, p, mask, c, k, in, out, std::make_integer_sequence<int, 16>{});
    s0 = _mm_add_epi32(s0, save0);
    s1 = _mm_add_epi32(s1, save1);
  }
  StoreShaNiState(state, s0, s1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), c);
  for (auto& x : k) x = _mm_setzero_si128();
}

// `blocks` digest blocks beside 4 * `blocks` CBC blocks; false when the processor lacks either
// instruction set (nothing is done then).
bool CompressBesideCbc(uint32_t* state, const uint8_t* p, size_t blocks, const AesContext& aes, const uint8_t* in,
                       uint8_t* out, uint8_t* iv) {
  const uint8_t* keys = aes.HardwareRoundKeys();
  if (keys == nullptr || !digest::ShaExtensionsActive()) return false;
  switch (aes.Rounds()) {
    case 10:
      CompressShaNiBesideCbc<10>(state, p, blocks, keys, in, out, iv);
      return true;
    case 12:
      CompressShaNiBesideCbc<12>(state, p, blocks, keys, in, out, iv);
      return true;
    case 14:
      CompressShaNiBesideCbc<14>(state, p, blocks, keys, in, out, iv);
      return true;
    default:
      return false;
  }
}
#undef TW_SHANI
#undef TW_SHANI_AES
#else
bool CompressBesideCbc(uint32_t*, const uint8_t*, size_t, const AesContext&, const uint8_t*, uint8_t*, uint8_t*) {
  return false;
}
#endif

void Compress(uint32_t* state, const uint8_t* p, size_t blocks) {
#ifdef TW_SHA256_X86
  if (digest::ShaExtensionsActive()) {
    CompressShaNi(state, p, blocks);
    return;
  }
#endif
  CompressPortable(state, p, blocks);
}

}  // namespace

Sha256Context::~Sha256Context() { WipeBytes(this, sizeof *this); }

void Sha256Context::Init() {
  std::memcpy(state_, variant_ == Sha256Variant::kSha224 ? kInit224 : kInit256, sizeof state_);
  bits_ = 0;
  used_ = 0;
  std::memset(buffer_, 0, sizeof buffer_);
  std::memset(digest_, 0, sizeof digest_);
  finished_ = false;
}

void Sha256Context::Update(const void* bytes, size_t count) {
  if (finished_) Init();
  if (bytes == nullptr || count == 0) return;
  bits_ += static_cast<uint64_t>(count) << 3;
  digest::BufferBlocks<kBlockSize>(buffer_, used_, static_cast<const uint8_t*>(bytes), count,
                                   [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
}

void Sha256Context::UpdateBesideCbc(const void* bytes, size_t count, const AesContext& aes, const uint8_t* in,
                                    uint8_t* out, size_t blocks, uint8_t iv[16]) {
  if (finished_) Init();
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  if (p == nullptr) count = 0;
  if (used_ > 0) {
    const size_t fill = count < kBlockSize - used_ ? count : kBlockSize - used_;
    Update(p, fill);
    p += fill;
    count -= fill;
  }
  const size_t pairs = count / kBlockSize < blocks / 4 ? count / kBlockSize : blocks / 4;
  if (pairs > 0 && CompressBesideCbc(state_, p, pairs, aes, in, out, iv)) {
    bits_ += static_cast<uint64_t>(pairs) * kBlockSize * 8;
    p += pairs * kBlockSize;
    count -= pairs * kBlockSize;
    in += pairs * 64;
    out += pairs * 64;
    blocks -= pairs * 4;
  }
  aes.EncryptCbc(in, out, blocks, iv);
  Update(p, count);
}

const uint8_t* Sha256Context::Final() {
  if (finished_) return digest_;
  uint8_t length[8];
  digest::StoreBe64(length, bits_);
  digest::BufferPadding<kBlockSize>(buffer_, used_, length,
                                    [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
  for (int i = 0; i < 8; ++i) digest::StoreBe32(digest_ + 4 * i, state_[i]);
  WipeBytes(state_, sizeof state_);
  WipeBytes(buffer_, sizeof buffer_);
  bits_ = 0;
  used_ = 0;
  finished_ = true;
  return digest_;
}

}  // namespace tw
