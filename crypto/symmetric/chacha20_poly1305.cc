#include "crypto/symmetric/chacha20_poly1305.h"

#include <cstring>

#include "crypto/symmetric/chacha20.h"

#include "crypto/symmetric/cpu_features.h"
#include "foundation/byte_ops.h"

#if defined(__x86_64__) || defined(__i386__)
#define TW_CHACHA_X86 1
#endif

namespace tw {

namespace {

using cipher_detail::LoadLe32;

// "expand 32-byte k"
constexpr uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// Data handled per step of the AEAD loop: keystream XOR, then Poly1305 over the same bytes while
// they are still in cache. A whole TLS record is one step: smaller steps cost more in setting up
// the vector loops than they save in cache misses.
constexpr size_t kStepBytes = 16384;

// Eight keystream blocks per group, one block in each 32-bit lane of a 256-bit vector, written
// with the compiler's vector types so that one body serves both instruction sets below: AVX2,
// and AVX-512VL, where the rotations become single instructions and 32 registers avoid spills.
typedef uint32_t Lanes __attribute__((vector_size(32)));
typedef uint8_t LaneBytes __attribute__((vector_size(32)));

#define TW_INLINE inline __attribute__((always_inline))

// Values go by reference throughout: these are always inlined, and by-value vector arguments
// would only draw the compiler's ABI notes.
TW_INLINE void Rotl16(Lanes& v) {
  v = reinterpret_cast<Lanes>(__builtin_shufflevector(reinterpret_cast<LaneBytes>(v), reinterpret_cast<LaneBytes>(v),
                                                      2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 18, 19, 16,
                                                      17, 22, 23, 20, 21, 26, 27, 24, 25, 30, 31, 28, 29));
}
TW_INLINE void Rotl8(Lanes& v) {
  v = reinterpret_cast<Lanes>(__builtin_shufflevector(reinterpret_cast<LaneBytes>(v), reinterpret_cast<LaneBytes>(v),
                                                      3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 19, 16, 17,
                                                      18, 23, 20, 21, 22, 27, 24, 25, 26, 31, 28, 29, 30));
}

TW_INLINE void QuarterRound(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  a += b;
  d ^= a;
  Rotl16(d);
  c += d;
  b ^= c;
  b = (b << 12) | (b >> 20);
  a += b;
  d ^= a;
  Rotl8(d);
  c += d;
  b ^= c;
  b = (b << 7) | (b >> 25);
}

// Transposes four words of the eight lanes: afterwards the low half of each holds those words of
// blocks 0..3 (a: block 0, b: block 1, ...), the high half those of blocks 4..7.
TW_INLINE void Transpose4(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  const Lanes t0 = __builtin_shufflevector(a, b, 0, 8, 1, 9, 4, 12, 5, 13);
  const Lanes t1 = __builtin_shufflevector(a, b, 2, 10, 3, 11, 6, 14, 7, 15);
  const Lanes t2 = __builtin_shufflevector(c, d, 0, 8, 1, 9, 4, 12, 5, 13);
  const Lanes t3 = __builtin_shufflevector(c, d, 2, 10, 3, 11, 6, 14, 7, 15);
  a = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);
  b = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);
  c = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);
  d = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);
}

TW_INLINE void XorOut(const uint8_t* in, uint8_t* out, const Lanes& v) {
  Lanes x;
  std::memcpy(&x, in, 32);
  x ^= v;
  std::memcpy(out, &x, 32);
}

// Block j of the group gets the low halves of (a, b) and (c, d); block j + 4 the high halves.
TW_INLINE void XorBlockPair(const uint8_t* in, uint8_t* out, const Lanes& a, const Lanes& b, const Lanes& c,
                            const Lanes& d) {
  const Lanes p0 = __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11);
  const Lanes p1 = __builtin_shufflevector(c, d, 0, 1, 2, 3, 8, 9, 10, 11);
  const Lanes p2 = __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15);
  const Lanes p3 = __builtin_shufflevector(c, d, 4, 5, 6, 7, 12, 13, 14, 15);
  XorOut(in, out, p0);
  XorOut(in + 32, out + 32, p1);
  XorOut(in + 256, out + 256, p2);
  XorOut(in + 288, out + 288, p3);
}

// XORs groups * 512 bytes of keystream over in. Lane j of the counter words holds counter + j
// (carrying into word 13 when the counter is 64 bits wide).
TW_INLINE void XorGroups(const uint32_t s[16], uint64_t counter, bool wide, const uint8_t* in, uint8_t* out,
                         size_t groups) {
  Lanes init[16];
  for (int i = 0; i < 16; ++i) init[i] = Lanes{} + s[i];
  const Lanes steps = {0, 1, 2, 3, 4, 5, 6, 7};
  for (; groups > 0; --groups, counter += 8, in += 512, out += 512) {
    const uint32_t low = static_cast<uint32_t>(counter);
    init[12] = (Lanes{} + low) + steps;
    if (wide) {
      // A lane whose low word wrapped gets -1 from the comparison: subtracting it carries.
      const Lanes wrapped = reinterpret_cast<Lanes>(init[12] < (Lanes{} + low));
      init[13] = (Lanes{} + static_cast<uint32_t>(counter >> 32)) - wrapped;
    }
    Lanes x0 = init[0], x1 = init[1], x2 = init[2], x3 = init[3], x4 = init[4], x5 = init[5], x6 = init[6],
          x7 = init[7], x8 = init[8], x9 = init[9], x10 = init[10], x11 = init[11], x12 = init[12],
          x13 = init[13], x14 = init[14], x15 = init[15];
    for (int round = 0; round < 10; ++round) {
      QuarterRound(x0, x4, x8, x12);
      QuarterRound(x1, x5, x9, x13);
      QuarterRound(x2, x6, x10, x14);
      QuarterRound(x3, x7, x11, x15);
      QuarterRound(x0, x5, x10, x15);
      QuarterRound(x1, x6, x11, x12);
      QuarterRound(x2, x7, x8, x13);
      QuarterRound(x3, x4, x9, x14);
    }
    x0 += init[0], x1 += init[1], x2 += init[2], x3 += init[3];
    x4 += init[4], x5 += init[5], x6 += init[6], x7 += init[7];
    x8 += init[8], x9 += init[9], x10 += init[10], x11 += init[11];
    x12 += init[12], x13 += init[13], x14 += init[14], x15 += init[15];
    Transpose4(x0, x1, x2, x3);
    Transpose4(x4, x5, x6, x7);
    Transpose4(x8, x9, x10, x11);
    Transpose4(x12, x13, x14, x15);
    XorBlockPair(in, out, x0, x4, x8, x12);
    XorBlockPair(in + 64, out + 64, x1, x5, x9, x13);
    XorBlockPair(in + 128, out + 128, x2, x6, x10, x14);
    XorBlockPair(in + 192, out + 192, x3, x7, x11, x15);
  }
  WipeBytes(init, sizeof init);  // the key words
}

#ifdef TW_CHACHA_X86

// Four blocks per group where only SSSE3 is there (one per lane of a 128-bit vector).
typedef uint32_t Lanes4 __attribute__((vector_size(16)));
typedef uint8_t LaneBytes4 __attribute__((vector_size(16)));

TW_INLINE void QuarterRound4(Lanes4& a, Lanes4& b, Lanes4& c, Lanes4& d) {
  a += b;
  d ^= a;
  d = reinterpret_cast<Lanes4>(__builtin_shufflevector(reinterpret_cast<LaneBytes4>(d), reinterpret_cast<LaneBytes4>(d),
                                                       2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
  c += d;
  b ^= c;
  b = (b << 12) | (b >> 20);
  a += b;
  d ^= a;
  d = reinterpret_cast<Lanes4>(__builtin_shufflevector(reinterpret_cast<LaneBytes4>(d), reinterpret_cast<LaneBytes4>(d),
                                                       3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14));
  c += d;
  b ^= c;
  b = (b << 7) | (b >> 25);
}

// Afterwards a holds the four words of block 0, b those of block 1, and so on.
TW_INLINE void Transpose4x4(Lanes4& a, Lanes4& b, Lanes4& c, Lanes4& d) {
  const Lanes4 t0 = __builtin_shufflevector(a, b, 0, 4, 1, 5);
  const Lanes4 t1 = __builtin_shufflevector(a, b, 2, 6, 3, 7);
  const Lanes4 t2 = __builtin_shufflevector(c, d, 0, 4, 1, 5);
  const Lanes4 t3 = __builtin_shufflevector(c, d, 2, 6, 3, 7);
  a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  b = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  c = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

TW_INLINE void XorOut4(const uint8_t* in, uint8_t* out, const Lanes4& v) {
  Lanes4 x;
  std::memcpy(&x, in, 16);
  x ^= v;
  std::memcpy(out, &x, 16);
}

// XORs groups * 256 bytes of keystream over in.
__attribute__((target("ssse3"))) void XorGroupsSsse3(const uint32_t s[16], uint64_t counter, bool wide,
                                                     const uint8_t* in, uint8_t* out, size_t groups) {
  Lanes4 init[16];
  for (int i = 0; i < 16; ++i) init[i] = Lanes4{} + s[i];
  const Lanes4 steps = {0, 1, 2, 3};
  for (; groups > 0; --groups, counter += 4, in += 256, out += 256) {
    const uint32_t low = static_cast<uint32_t>(counter);
    init[12] = (Lanes4{} + low) + steps;
    if (wide) {
      const Lanes4 wrapped = reinterpret_cast<Lanes4>(init[12] < (Lanes4{} + low));
      init[13] = (Lanes4{} + static_cast<uint32_t>(counter >> 32)) - wrapped;
    }
    Lanes4 x[16];
    for (int i = 0; i < 16; ++i) x[i] = init[i];
    for (int round = 0; round < 10; ++round) {
      QuarterRound4(x[0], x[4], x[8], x[12]);
      QuarterRound4(x[1], x[5], x[9], x[13]);
      QuarterRound4(x[2], x[6], x[10], x[14]);
      QuarterRound4(x[3], x[7], x[11], x[15]);
      QuarterRound4(x[0], x[5], x[10], x[15]);
      QuarterRound4(x[1], x[6], x[11], x[12]);
      QuarterRound4(x[2], x[7], x[8], x[13]);
      QuarterRound4(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) x[i] += init[i];
    for (int g = 0; g < 4; ++g) Transpose4x4(x[4 * g], x[4 * g + 1], x[4 * g + 2], x[4 * g + 3]);
    for (int block = 0; block < 4; ++block) {
      for (int g = 0; g < 4; ++g) XorOut4(in + 64 * block + 16 * g, out + 64 * block + 16 * g, x[4 * g + block]);
    }
  }
  WipeBytes(init, sizeof init);  // the key words
}

#define TW_AVX512 __attribute__((target("avx2,avx512f,avx512vl,avx512bw")))
#define TW_AVX512_INLINE __attribute__((target("avx2,avx512f,avx512vl,avx512bw"), always_inline)) inline

// Sixteen keystream blocks per group on AVX-512, one in each lane.
typedef uint32_t Lanes16 __attribute__((vector_size(64)));

// Two shifts, which the compiler turns into one rotate instruction.
#define TW_ROTL16(v, n) v = (v << n) | (v >> (32 - n))

TW_AVX512_INLINE void QuarterRound16(Lanes16& a, Lanes16& b, Lanes16& c, Lanes16& d) {
  a += b;
  d ^= a;
  TW_ROTL16(d, 16);
  c += d;
  b ^= c;
  TW_ROTL16(b, 12);
  a += b;
  d ^= a;
  TW_ROTL16(d, 8);
  c += d;
  b ^= c;
  TW_ROTL16(b, 7);
}

#undef TW_ROTL16

// Four words of the sixteen lanes, transposed inside each 128-bit chunk: afterwards chunk k of a
// holds those words of block 4k, of b block 4k + 1, and so on.
TW_AVX512_INLINE void Transpose4x16(Lanes16& a, Lanes16& b, Lanes16& c, Lanes16& d) {
  const Lanes16 t0 = __builtin_shufflevector(a, b, 0, 16, 1, 17, 4, 20, 5, 21, 8, 24, 9, 25, 12, 28, 13, 29);
  const Lanes16 t1 = __builtin_shufflevector(a, b, 2, 18, 3, 19, 6, 22, 7, 23, 10, 26, 11, 27, 14, 30, 15, 31);
  const Lanes16 t2 = __builtin_shufflevector(c, d, 0, 16, 1, 17, 4, 20, 5, 21, 8, 24, 9, 25, 12, 28, 13, 29);
  const Lanes16 t3 = __builtin_shufflevector(c, d, 2, 18, 3, 19, 6, 22, 7, 23, 10, 26, 11, 27, 14, 30, 15, 31);
  a = __builtin_shufflevector(t0, t2, 0, 1, 16, 17, 4, 5, 20, 21, 8, 9, 24, 25, 12, 13, 28, 29);
  b = __builtin_shufflevector(t0, t2, 2, 3, 18, 19, 6, 7, 22, 23, 10, 11, 26, 27, 14, 15, 30, 31);
  c = __builtin_shufflevector(t1, t3, 0, 1, 16, 17, 4, 5, 20, 21, 8, 9, 24, 25, 12, 13, 28, 29);
  d = __builtin_shufflevector(t1, t3, 2, 3, 18, 19, 6, 7, 22, 23, 10, 11, 26, 27, 14, 15, 30, 31);
}

TW_AVX512_INLINE void XorOut16(const uint8_t* in, uint8_t* out, const Lanes16& v) {
  Lanes16 x;
  std::memcpy(&x, in, 64);
  x ^= v;
  std::memcpy(out, &x, 64);
}

// a, b, c, d hold words 0-3, 4-7, 8-11 and 12-15 of blocks j, j + 4, j + 8 and j + 12 (one per
// chunk); a 4x4 transpose of the chunks gives the four whole blocks, XORed over in.
TW_AVX512_INLINE void XorBlocks16(const uint8_t* in, uint8_t* out, const Lanes16& a, const Lanes16& b,
                                  const Lanes16& c, const Lanes16& d) {
  // t0 = a0 a1 b0 b1, t1 = a2 a3 b2 b3, t2 = c0 c1 d0 d1, t3 = c2 c3 d2 d3 (128-bit chunks).
  const Lanes16 t0 = __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
  const Lanes16 t1 = __builtin_shufflevector(a, b, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31);
  const Lanes16 t2 = __builtin_shufflevector(c, d, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
  const Lanes16 t3 = __builtin_shufflevector(c, d, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31);
  XorOut16(in, out, __builtin_shufflevector(t0, t2, 0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27));
  XorOut16(in + 256, out + 256,
           __builtin_shufflevector(t0, t2, 4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31));
  XorOut16(in + 512, out + 512,
           __builtin_shufflevector(t1, t3, 0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27));
  XorOut16(in + 768, out + 768,
           __builtin_shufflevector(t1, t3, 4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31));
}

// XORs groups * 1024 bytes of keystream over in, sixteen blocks per group.
TW_AVX512 void XorGroups16(const uint32_t s[16], uint64_t counter, bool wide, const uint8_t* in, uint8_t* out,
                           size_t groups) {
  Lanes16 init[16];
  for (int i = 0; i < 16; ++i) init[i] = Lanes16{} + s[i];
  const Lanes16 steps = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  for (; groups > 0; --groups, counter += 16, in += 1024, out += 1024) {
    const uint32_t low = static_cast<uint32_t>(counter);
    init[12] = (Lanes16{} + low) + steps;
    if (wide) {
      // A lane whose low word wrapped gets -1 from the comparison: subtracting it carries.
      const Lanes16 wrapped = reinterpret_cast<Lanes16>(init[12] < (Lanes16{} + low));
      init[13] = (Lanes16{} + static_cast<uint32_t>(counter >> 32)) - wrapped;
    }
    Lanes16 x0 = init[0], x1 = init[1], x2 = init[2], x3 = init[3], x4 = init[4], x5 = init[5], x6 = init[6],
            x7 = init[7], x8 = init[8], x9 = init[9], x10 = init[10], x11 = init[11], x12 = init[12],
            x13 = init[13], x14 = init[14], x15 = init[15];
    for (int round = 0; round < 10; ++round) {
      QuarterRound16(x0, x4, x8, x12);
      QuarterRound16(x1, x5, x9, x13);
      QuarterRound16(x2, x6, x10, x14);
      QuarterRound16(x3, x7, x11, x15);
      QuarterRound16(x0, x5, x10, x15);
      QuarterRound16(x1, x6, x11, x12);
      QuarterRound16(x2, x7, x8, x13);
      QuarterRound16(x3, x4, x9, x14);
    }
    x0 += init[0], x1 += init[1], x2 += init[2], x3 += init[3];
    x4 += init[4], x5 += init[5], x6 += init[6], x7 += init[7];
    x8 += init[8], x9 += init[9], x10 += init[10], x11 += init[11];
    x12 += init[12], x13 += init[13], x14 += init[14], x15 += init[15];
    Transpose4x16(x0, x1, x2, x3);
    Transpose4x16(x4, x5, x6, x7);
    Transpose4x16(x8, x9, x10, x11);
    Transpose4x16(x12, x13, x14, x15);
    XorBlocks16(in, out, x0, x4, x8, x12);
    XorBlocks16(in + 64, out + 64, x1, x5, x9, x13);
    XorBlocks16(in + 128, out + 128, x2, x6, x10, x14);
    XorBlocks16(in + 192, out + 192, x3, x7, x11, x15);
  }
  WipeBytes(init, sizeof init);  // the key words
}

__attribute__((target("avx2"))) void XorGroupsAvx2(const uint32_t s[16], uint64_t counter, bool wide,
                                                   const uint8_t* in, uint8_t* out, size_t groups) {
  XorGroups(s, counter, wide, in, out, groups);
}

__attribute__((target("avx2,avx512f,avx512vl"))) void XorGroupsAvx512(const uint32_t s[16], uint64_t counter,
                                                                      bool wide, const uint8_t* in, uint8_t* out,
                                                                      size_t groups) {
  XorGroups(s, counter, wide, in, out, groups);
}

// Level 1 is AVX2, or SSSE3 where that is all there is.
int DetectLevel() {
  if (CpuHas(kCpuAvx512)) return 2;
  if (CpuHas(kCpuAvx2) || CpuHas(kCpuSsse3)) return 1;
  return 0;
}

// XORs as much of length as the widest allowed path takes (whole groups) and returns the number
// of bytes done.
size_t XorWide(int level, const uint32_t s[16], uint64_t counter, bool wide, const uint8_t* in, uint8_t* out,
               size_t length) {
  size_t done = 0;
  if (level >= 2 && length >= 1024) {
    const size_t groups = length / 1024;
    XorGroups16(s, counter, wide, in, out, groups);
    done = 1024 * groups;
    counter += 16 * groups;
  }
  if (level == 1 && !CpuHas(kCpuAvx2)) {
    const size_t groups = length / 256;
    XorGroupsSsse3(s, counter, wide, in, out, groups);
    return 256 * groups;
  }
  if (length - done >= 512) {
    const size_t groups = (length - done) / 512;
    if (level >= 2) {
      XorGroupsAvx512(s, counter, wide, in + done, out + done, groups);
    } else {
      XorGroupsAvx2(s, counter, wide, in + done, out + done, groups);
    }
    done += 512 * groups;
  }
  return done;
}

#else

int DetectLevel() { return 0; }
size_t XorWide(int, const uint32_t*, uint64_t, bool, const uint8_t*, uint8_t*, size_t) { return 0; }

#endif

}  // namespace

int ChaCha20WideLevel() { return DetectLevel(); }

bool ChaCha20WideAvailable() { return ChaCha20WideLevel() > 0; }

ChaCha20Poly1305Context::ChaCha20Poly1305Context() {
  WipeBytes(&stream_, sizeof stream_);
  WipeBytes(key_, sizeof key_);
}

ChaCha20Poly1305Context::~ChaCha20Poly1305Context() { Clear(); }

void ChaCha20Poly1305Context::Clear() {
  WipeBytes(&stream_, sizeof stream_);
  WipeBytes(key_, sizeof key_);
  poly_.Clear();
  if (aad_.length() > 0) WipeBytes(aad_.data(), static_cast<size_t>(aad_.length()));
  aad_.Reset();
  aad_bytes_ = data_bytes_ = 0;
  phase_ = kIdle;
  has_key_ = false;
}

bool ChaCha20Poly1305Context::UsesHardware() const { return hw_level_ > 0 && ChaCha20WideAvailable(); }

int ChaCha20Poly1305Context::SetKey(const uint8_t* key, int key_length) {
  if (key_length != kKeyBytes) return kErrCipherKeyLength;
  Clear();
  std::memcpy(key_, key, kKeyBytes);
  has_key_ = true;
  return kOk;
}

// Sets up the keystream for the nonce, draws the Poly1305 key from block `counter` and leaves the
// stream at the next block.
int ChaCha20Poly1305Context::Begin(const uint8_t* nonce, int nonce_length, uint64_t counter) {
  if (nonce_length != 12 && nonce_length != 8) return kErrCipherNonceLength;
  if (nonce_length == 12 && counter > 0xFFFFFFFFu) return kErrCipherCounterExhausted;
  Stream& s = stream_;
  WipeBytes(&s, sizeof s);
  for (int i = 0; i < 4; ++i) s.state[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) s.state[4 + i] = LoadLe32(key_ + 4 * i);
  if (nonce_length == 12) {
    for (int i = 0; i < 3; ++i) s.state[13 + i] = LoadLe32(nonce + 4 * i);
  } else {
    s.state[14] = LoadLe32(nonce);
    s.state[15] = LoadLe32(nonce + 4);
  }
  s.wide = nonce_length == 8;
  s.next = counter;
  s.blocks_left = 1;
  uint8_t block[64];
  StreamBlock(block);
  poly_.Init(block);
  WipeBytes(block, sizeof block);
  s.blocks_left = (s.wide ? UINT64_MAX : 0xFFFFFFFFu) - counter;
  s.used = 64;
  if (aad_.length() > 0) WipeBytes(aad_.data(), static_cast<size_t>(aad_.length()));
  aad_.Reset();
  aad_bytes_ = data_bytes_ = 0;
  phase_ = kAad;
  return kOk;
}

void ChaCha20Poly1305Context::StreamBlock(uint8_t out[64]) {
  Stream& s = stream_;
  s.state[12] = static_cast<uint32_t>(s.next);
  if (s.wide) s.state[13] = static_cast<uint32_t>(s.next >> 32);
  ChaCha20Block(s.state, out);
  ++s.next;
  --s.blocks_left;
}

bool ChaCha20Poly1305Context::StreamHasRoom(size_t length) const {
  const size_t buffered = 64 - stream_.used;
  return length <= buffered || (length - buffered + 63) / 64 <= stream_.blocks_left;
}

void ChaCha20Poly1305Context::StreamXor(const uint8_t* in, uint8_t* out, size_t length) {
  Stream& s = stream_;
  if (s.used < 64) {
    const size_t take = length < 64 - s.used ? length : 64 - s.used;
    XorBytes(out, in, s.block + s.used, take);
    s.used += static_cast<uint32_t>(take);
    in += take;
    out += take;
    length -= take;
  }
  const int level = hw_level_ < ChaCha20WideLevel() ? hw_level_ : ChaCha20WideLevel();
  if (length >= 256 && level > 0) {
    const size_t done = XorWide(level, s.state, s.next, s.wide != 0, in, out, length);
    s.next += done / 64;
    s.blocks_left -= done / 64;
    in += done;
    out += done;
    length -= done;
  }
  uint8_t block[64];
  while (length >= 64) {
    StreamBlock(block);
    XorBytes(out, in, block, 64);
    in += 64;
    out += 64;
    length -= 64;
  }
  WipeBytes(block, sizeof block);
  if (length > 0) {
    StreamBlock(s.block);
    XorBytes(out, in, s.block, length);
    s.used = static_cast<uint32_t>(length);
  }
}

int ChaCha20Poly1305Context::Start(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length,
                                   uint64_t counter, bool encrypt) {
  if (key_length != kKeyBytes) return kErrCipherKeyLength;
  if (nonce_length != 12 && nonce_length != 8) return kErrCipherNonceLength;
  if (key != key_) std::memcpy(key_, key, kKeyBytes);
  has_key_ = true;
  encrypting_ = encrypt;
  return Begin(nonce, nonce_length, counter);
}

int ChaCha20Poly1305Context::AddAad(const uint8_t* aad, size_t length) {
  if (phase_ != kAad) return kAeadMisuse;
  if (length > static_cast<size_t>(0x7FFFFFFF - aad_.length())) return kErrOutOfMemory;
  const int rc = aad_.Append(aad, static_cast<int>(length));
  if (rc != kOk) return rc;
  poly_.Update(aad, length);
  aad_bytes_ += length;
  return kOk;
}

// The AAD is padded once, when the data begins, so that pieces of any size give the RFC's tag.
void ChaCha20Poly1305Context::EnterData() {
  if (phase_ == kAad) {
    poly_.PadToBlock();
    phase_ = kData;
  }
}

int ChaCha20Poly1305Context::Crypt(const uint8_t* in, size_t length, uint8_t* out, bool encrypt) {
  if (phase_ != kAad && phase_ != kData) return kAeadMisuse;
  if (!StreamHasRoom(length)) return kErrCipherCounterExhausted;
  EnterData();
  data_bytes_ += length;
  while (length > 0) {
    const size_t m = length < kStepBytes ? length : kStepBytes;
    if (!encrypt) poly_.Update(in, m);
    StreamXor(in, out, m);
    if (encrypt) poly_.Update(out, m);
    in += m;
    out += m;
    length -= m;
  }
  return kOk;
}

void ChaCha20Poly1305Context::ComputeTag(uint8_t tag[kTagBytes]) {
  EnterData();
  poly_.PadToBlock();
  uint8_t lengths[16];
  StoreLe64(lengths, aad_bytes_);
  StoreLe64(lengths + 8, data_bytes_);
  poly_.Update(lengths, 16);
  poly_.Finish(tag);
  phase_ = kDone;
}

int ChaCha20Poly1305Context::Finish(uint8_t* tag, int tag_length, bool make) {
  if (!tag) return kAeadMisuse;
  if (phase_ != kAad && phase_ != kData) return kAeadMisuse;
  uint8_t computed[kTagBytes];
  ComputeTag(computed);
  int rc = kOk;
  if (make) {
    std::memcpy(tag, computed, kTagBytes);
  } else if (tag_length != kTagBytes || !ConstantTimeEqual(computed, tag, kTagBytes)) {
    rc = kAeadTagMismatch;
  }
  WipeBytes(computed, sizeof computed);
  return rc;
}

int ChaCha20Poly1305Context::Seal(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
                                  const uint8_t* in, uint8_t* out, size_t length, uint8_t tag[kTagBytes]) {
  if (!has_key_) return kErrAeadNotStarted;
  if (nonce_length != 12 && nonce_length != 8) return kErrAeadNonceLength;
  int rc = Begin(nonce, static_cast<int>(nonce_length), initial_counter_);
  if (rc != kOk) return rc;
  if (!StreamHasRoom(length)) return kErrAeadTooManyBlocks;
  encrypting_ = true;
  poly_.Update(aad, aad_length);
  aad_bytes_ = aad_length;
  rc = Crypt(in, length, out, true);
  if (rc != kOk) return rc;
  ComputeTag(tag);
  return kOk;
}

int ChaCha20Poly1305Context::Open(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
                                  const uint8_t* in, uint8_t* out, size_t length, const uint8_t* tag,
                                  size_t tag_length) {
  if (!has_key_) return kErrAeadNotStarted;
  if (nonce_length != 12 && nonce_length != 8) return kErrAeadNonceLength;
  int rc = Begin(nonce, static_cast<int>(nonce_length), initial_counter_);
  if (rc != kOk) return rc;
  if (!StreamHasRoom(length)) return kErrAeadTooManyBlocks;
  encrypting_ = false;
  // Authenticate first; nothing is decrypted unless the tag holds.
  poly_.Update(aad, aad_length);
  aad_bytes_ = aad_length;
  EnterData();
  poly_.Update(in, length);
  data_bytes_ = length;
  uint8_t computed[kTagBytes];
  ComputeTag(computed);
  const bool ok = tag_length == kTagBytes && ConstantTimeEqual(computed, tag, kTagBytes);
  WipeBytes(computed, sizeof computed);
  if (!ok) return kErrAeadAuthentication;
  StreamXor(in, out, length);
  return kOk;
}

}  // namespace tw
