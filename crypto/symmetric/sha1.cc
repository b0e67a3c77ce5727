#include "crypto/symmetric/sha1.h"

#include <cstring>
#include <utility>

#include "crypto/symmetric/digest_bits.h"
#include "foundation/byte_string.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TW_SHA1_X86 1
#endif

namespace tw {
namespace {

using digest::LoadBe32;
using digest::Rotl32;

constexpr uint32_t kInit[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

// The schedule lives in a 16-word ring; W(i) for i >= 16 is computed in place as it is needed.
#define SHA1_W(i) (w[(i) & 15] = Rotl32(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define SHA1_F0(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_F1(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_F2(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))
#define SHA1_R(f, k, a, b, c, d, e, x) \
  e += Rotl32(a, 5) + f(b, c, d) + (k) + (x); \
  b = Rotl32(b, 30);

#define SHA1_R0(a, b, c, d, e, i) SHA1_R(SHA1_F0, 0x5a827999, a, b, c, d, e, w[i])
#define SHA1_R0W(a, b, c, d, e, i) SHA1_R(SHA1_F0, 0x5a827999, a, b, c, d, e, SHA1_W(i))
#define SHA1_R1(a, b, c, d, e, i) SHA1_R(SHA1_F1, 0x6ed9eba1, a, b, c, d, e, SHA1_W(i))
#define SHA1_R2(a, b, c, d, e, i) SHA1_R(SHA1_F2, 0x8f1bbcdc, a, b, c, d, e, SHA1_W(i))
#define SHA1_R3(a, b, c, d, e, i) SHA1_R(SHA1_F1, 0xca62c1d6, a, b, c, d, e, SHA1_W(i))

#define SHA1_FIVE(R, i)       \
  R(a, b, c, d, e, (i))       \
  R(e, a, b, c, d, (i) + 1)   \
  R(d, e, a, b, c, (i) + 2)   \
  R(c, d, e, a, b, (i) + 3)   \
  R(b, c, d, e, a, (i) + 4)

void CompressPortable(uint32_t* state, const uint8_t* p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (; blocks > 0; --blocks, p += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBe32(p + 4 * i);
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;
    SHA1_FIVE(SHA1_R0, 0)
    SHA1_FIVE(SHA1_R0, 5)
    SHA1_FIVE(SHA1_R0, 10)
    SHA1_R0(a, b, c, d, e, 15)
    SHA1_R0W(e, a, b, c, d, 16)
    SHA1_R0W(d, e, a, b, c, 17)
    SHA1_R0W(c, d, e, a, b, 18)
    SHA1_R0W(b, c, d, e, a, 19)
    SHA1_FIVE(SHA1_R1, 20)
    SHA1_FIVE(SHA1_R1, 25)
    SHA1_FIVE(SHA1_R1, 30)
    SHA1_FIVE(SHA1_R1, 35)
    SHA1_FIVE(SHA1_R2, 40)
    SHA1_FIVE(SHA1_R2, 45)
    SHA1_FIVE(SHA1_R2, 50)
    SHA1_FIVE(SHA1_R2, 55)
    SHA1_FIVE(SHA1_R3, 60)
    SHA1_FIVE(SHA1_R3, 65)
    SHA1_FIVE(SHA1_R3, 70)
    SHA1_FIVE(SHA1_R3, 75)
    a += a0;
    b += b0;
    c += c0;
    d += d0;
    e += e0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
  state[4] = e;
}

#undef SHA1_W
#undef SHA1_F0
#undef SHA1_F1
#undef SHA1_F2
#undef SHA1_R
#undef SHA1_R0
#undef SHA1_R0W
#undef SHA1_R1
#undef SHA1_R2
#undef SHA1_R3
#undef SHA1_FIVE

#ifdef TW_SHA1_X86
#define TW_SHANI __attribute__((target("sha,sse4.1,ssse3")))

// One group of four rounds, G of 20, with the message schedule interleaved as the extensions
// expect: W(i+12..15) is finished two groups before it is used.
template <int G>
TW_SHANI __attribute__((always_inline)) inline void ShaNiGroup(__m128i& abcd, __m128i* e, __m128i* m,
                                                                 const uint8_t* p, __m128i mask) {
  constexpr int kCur = G & 1;
  __m128i& mg = m[G & 3];
  if constexpr (G < 4) mg = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * G)), mask);
  if constexpr (G == 0) {
    e[0] = _mm_add_epi32(e[0], mg);
  } else {
    e[kCur] = _mm_sha1nexte_epu32(e[kCur], mg);
  }
  e[kCur ^ 1] = abcd;
  if constexpr (G >= 3 && G <= 18) m[(G + 1) & 3] = _mm_sha1msg2_epu32(m[(G + 1) & 3], mg);
  abcd = _mm_sha1rnds4_epu32(abcd, e[kCur], G / 5);
  if constexpr (G >= 1 && G <= 16) m[(G + 3) & 3] = _mm_sha1msg1_epu32(m[(G + 3) & 3], mg);
  if constexpr (G >= 2 && G <= 17) m[(G + 2) & 3] = _mm_xor_si128(m[(G + 2) & 3], mg);
}

template <int... G>
TW_SHANI __attribute__((always_inline)) inline void ShaNiBlock(__m128i& abcd, __m128i* e, const uint8_t* p,
                                                                 __m128i mask, std::integer_sequence<int, G...>) {
  __m128i m[4];
  (ShaNiGroup<G>(abcd, e, m, p, mask), ...);
}

TW_SHANI void CompressShaNi(uint32_t* state, const uint8_t* p, size_t blocks) {
  const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1b);
  __m128i e[2];
  e[0] = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  e[1] = _mm_setzero_si128();
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abcdSave = abcd;
    const __m128i eSave = e[0];
    ShaNiBlock(abcd, e, p, mask, std::make_integer_sequence<int, 20>{});
    e[0] = _mm_sha1nexte_epu32(e[0], eSave);
    abcd = _mm_add_epi32(abcd, abcdSave);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1b));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e[0], 3));
}
#undef TW_SHANI
#endif

void Compress(uint32_t* state, const uint8_t* p, size_t blocks) {
#ifdef TW_SHA1_X86
  if (digest::ShaExtensionsActive()) {
    CompressShaNi(state, p, blocks);
    return;
  }
#endif
  CompressPortable(state, p, blocks);
}

}  // namespace

Sha1Context::~Sha1Context() { WipeBytes(this, sizeof *this); }

void Sha1Context::Init() {
  std::memcpy(state_, kInit, sizeof state_);
  bits_ = 0;
  used_ = 0;
  std::memset(buffer_, 0, sizeof buffer_);
  computed_ = false;
  corrupted_ = false;
  std::memset(digest_, 0, sizeof digest_);
}

void Sha1Context::Update(const void* bytes, size_t count) {
  if (computed_) Init();
  if (corrupted_ || bytes == nullptr || count == 0) return;
  if (count > (UINT64_MAX - bits_) >> 3) {
    corrupted_ = true;
    return;
  }
  bits_ += static_cast<uint64_t>(count) << 3;
  digest::BufferBlocks<kBlockSize>(buffer_, used_, static_cast<const uint8_t*>(bytes), count,
                                   [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
}

const uint8_t* Sha1Context::Final() {
  if (corrupted_) return nullptr;
  if (computed_) return digest_;
  uint8_t length[8];
  digest::StoreBe64(length, bits_);
  digest::BufferPadding<kBlockSize>(buffer_, used_, length,
                                    [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
  for (int i = 0; i < 5; ++i) digest::StoreBe32(digest_ + 4 * i, state_[i]);
  WipeBytes(state_, sizeof state_);
  WipeBytes(buffer_, sizeof buffer_);
  computed_ = true;
  return digest_;
}

}  // namespace tw
