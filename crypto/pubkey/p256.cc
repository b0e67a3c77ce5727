#include "crypto/pubkey/p256.h"

#include <emmintrin.h>
#include <x86intrin.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "crypto/pubkey/mont_field.h"
#include "crypto/symmetric/cpu_features.h"

namespace tw {
namespace {

using u128 = unsigned __int128;

// Field elements are four little-endian limbs in Montgomery form (R = 2^256), always below p.
constexpr uint64_t kP[4] = {0xFFFFFFFFFFFFFFFF, 0x00000000FFFFFFFF, 0, 0xFFFFFFFF00000001};
constexpr uint64_t kOne[4] = {1, 0xFFFFFFFF00000000, 0xFFFFFFFFFFFFFFFF, 0x00000000FFFFFFFE};  // R mod p
constexpr uint64_t kRR[4] = {3, 0xFFFFFFFBFFFFFFFF, 0xFFFFFFFFFFFFFFFE, 0x00000004FFFFFFFD};   // R^2 mod p
constexpr uint64_t kB[4] = {0xD89CDF6229C4BDDF, 0xACF005CD78843090, 0xE5A220ABF7212ED6, 0xDC30061D04874834};
// G and the order as plain integers.
constexpr uint64_t kGx[4] = {0xF4A13945D898C296, 0x77037D812DEB33A0, 0xF8BCE6E563A440F2, 0x6B17D1F2E12C4247};
constexpr uint64_t kGy[4] = {0xCBB6406837BF51F5, 0x2BCE33576B315ECE, 0x8EE7EB4A7C0F9E16, 0x4FE342E2FE1A7F9B};
constexpr uint64_t kN[4] = {0xF3B9CAC2FC632551, 0xBCE6FAADA7179E84, 0xFFFFFFFFFFFFFFFF, 0xFFFFFFFF00000000};
constexpr uint64_t kHalfN[4] = {0x79DCE5617E3192A8, 0xDE737D56D38BCF42, 0x7FFFFFFFFFFFFFFF, 0x7FFFFFFF80000000};

// Secret multiplications: signed windows of 5 bits over a 16-point table of the point, and of 6
// bits over a table of 32 multiples of 64^i G for each window i of the base point.
constexpr int kVarWidth = 5, kVarWindows = 52, kVarTable = 16;
constexpr int kBaseWidth = 6, kBaseWindows = 43, kBaseTable = 32;

inline uint64_t Adc(uint64_t a, uint64_t b, unsigned char& c) {
  unsigned long long r;
  c = _addcarry_u64(c, a, b, &r);
  return r;
}
inline uint64_t Sbb(uint64_t a, uint64_t b, unsigned char& c) {
  unsigned long long r;
  c = _subborrow_u64(c, a, b, &r);
  return r;
}
inline uint64_t EqMask(uint64_t a, uint64_t b) {
  const uint64_t x = a ^ b;
  return 0 - (((x | (0 - x)) >> 63) ^ 1);
}
inline uint64_t ZeroMask4(const uint64_t* a) { return EqMask(a[0] | a[1] | a[2] | a[3], 0); }
inline bool Equal4(const uint64_t* a, const uint64_t* b) {
  return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2]) | (a[3] ^ b[3])) == 0;
}
inline void Copy4(uint64_t* r, const uint64_t* a) { std::memcpy(r, a, 32); }
// 1 when a < b, from the borrow alone; no branch.
inline uint64_t Less4(const uint64_t* a, const uint64_t* b) {
  unsigned char c = 0;
  for (int i = 0; i < 4; ++i) Sbb(a[i], b[i], c);
  return c;
}
// r = a where mask is all ones.
inline void Select4(uint64_t* r, const uint64_t* a, uint64_t mask) {
  for (int i = 0; i < 4; ++i) r[i] ^= (r[i] ^ a[i]) & mask;
}
// r = a - m when that does not borrow (with the carry word top), else a: brings a below 2m under m.
inline void CondSub(uint64_t* r, const uint64_t* a, uint64_t top, const uint64_t* m) {
  uint64_t d[4];
  unsigned char b = 0;
  for (int i = 0; i < 4; ++i) d[i] = Sbb(a[i], m[i], b);
  const uint64_t keep = 0 - static_cast<uint64_t>(b & (top ^ 1));
  for (int i = 0; i < 4; ++i) r[i] = (a[i] & keep) | (d[i] & ~keep);
}

// a + b - p unless that borrows through the carry; flag-based, since the compiler turns the
// masked form of this into a slow chain of flag saves.
void FeAdd(uint64_t* r, const uint64_t* a, const uint64_t* b) {
  uint64_t t0 = a[0], t1 = a[1], t2 = a[2], t3 = a[3], u0, u1, u2, u3, c;
  asm("xorl %k[c], %k[c]\n\t"
      "addq 0(%[b]), %[t0]\n\tadcq 8(%[b]), %[t1]\n\tadcq 16(%[b]), %[t2]\n\tadcq 24(%[b]), %[t3]\n\t"
      "adcq $0, %[c]\n\t"
      "movq %[t0], %[u0]\n\tmovq %[t1], %[u1]\n\tmovq %[t2], %[u2]\n\tmovq %[t3], %[u3]\n\t"
      "subq $-1, %[u0]\n\tsbbq %[p1], %[u1]\n\tsbbq $0, %[u2]\n\tsbbq %[p3], %[u3]\n\tsbbq $0, %[c]\n\t"
      "cmovcq %[t0], %[u0]\n\tcmovcq %[t1], %[u1]\n\tcmovcq %[t2], %[u2]\n\tcmovcq %[t3], %[u3]\n\t"
      : [t0] "+&r"(t0), [t1] "+&r"(t1), [t2] "+&r"(t2), [t3] "+&r"(t3), [u0] "=&r"(u0), [u1] "=&r"(u1),
        [u2] "=&r"(u2), [u3] "=&r"(u3), [c] "=&r"(c)
      : [b] "r"(b), [p1] "m"(kP[1]), [p3] "m"(kP[3]), "m"(*(const uint64_t(*)[4])b)
      : "cc");
  r[0] = u0;
  r[1] = u1;
  r[2] = u2;
  r[3] = u3;
}
void FeSub(uint64_t* r, const uint64_t* a, const uint64_t* b) {
  uint64_t t[4];
  unsigned char c = 0;
  for (int i = 0; i < 4; ++i) t[i] = Sbb(a[i], b[i], c);
  const uint64_t mask = 0 - static_cast<uint64_t>(c);
  c = 0;
  for (int i = 0; i < 4; ++i) r[i] = Adc(t[i], kP[i] & mask, c);
}
// t (eight limbs) R^-1 mod p. With p = -1 mod 2^64 each step's quotient is the low limb itself,
// and q p collapses to shifts of q plus one product q (2^64 - 2^32 + 1).
inline void FeReduce(uint64_t* r, uint64_t* t) {
  uint64_t carry = 0;
  for (int i = 0; i < 4; ++i) {
    const uint64_t q = t[i];
    u128 x = static_cast<u128>(t[i + 1]) + (q << 32);
    t[i + 1] = static_cast<uint64_t>(x);
    x = (x >> 64) + t[i + 2] + (q >> 32);
    t[i + 2] = static_cast<uint64_t>(x);
    const u128 m = static_cast<u128>(q) * kP[3];
    x = (x >> 64) + t[i + 3] + static_cast<uint64_t>(m);
    t[i + 3] = static_cast<uint64_t>(x);
    x = (x >> 64) + t[i + 4] + static_cast<uint64_t>(m >> 64) + carry;
    t[i + 4] = static_cast<uint64_t>(x);
    carry = static_cast<uint64_t>(x >> 64);
  }
  CondSub(r, t + 4, carry, kP);
}
// Row of the plain product: a b[off] added at a0..a3, with a4 a fresh limb.
#define P256_PROW(off, a0, a1, a2, a3, a4)                                                             \
  "movq " #off "(%[b]), %%rdx\n\txorl %k[lo], %k[lo]\n\t"                                               \
  "mulxq 0(%[a]), %[lo], %[hi]\n\tadcxq %[lo], %[" #a0 "]\n\tadoxq %[hi], %[" #a1 "]\n\t"                 \
  "mulxq 8(%[a]), %[lo], %[hi]\n\tadcxq %[lo], %[" #a1 "]\n\tadoxq %[hi], %[" #a2 "]\n\t"                 \
  "mulxq 16(%[a]), %[lo], %[hi]\n\tadcxq %[lo], %[" #a2 "]\n\tadoxq %[hi], %[" #a3 "]\n\t"                \
  "mulxq 24(%[a]), %[lo], %[" #a4 "]\n\tadcxq %[lo], %[" #a3 "]\n\t"                                     \
  "movq $0, %[lo]\n\tadoxq %[lo], %[" #a4 "]\n\tadcxq %[lo], %[" #a4 "]\n\t"
// Reduction step of a plain product: q = a0 (p = -1 mod 2^64), q p added from a1 on; the carry
// out lands in the freed limb q, with the carry c of the step before folded in at a4.
#define P256_SQRED(q, a1, a2, a3, a4, c)                                                              \
  "movq %[" #q "], %%rdx\n\tmulxq %[p3], %[lo], %[hi]\n\tshlq $32, %%rdx\n\tshrq $32, %[" #q "]\n\t"        \
  "addq %%rdx, %[" #a1 "]\n\tadcq %[" #q "], %[" #a2 "]\n\tadcq %[lo], %[" #a3 "]\n\tadcq %[hi], %[" #a4 "]\n\t" \
  "movq $0, %[" #q "]\n\tadcq $0, %[" #q "]\n\taddq %[" #c "], %[" #a4 "]\n\tadcq $0, %[" #q "]\n\t"
// Row of the order's interleaved product: a b[off] added at a0..a4, top a fresh limb for the carries.
#define P256_ROW(off, a0, a1, a2, a3, a4, top)                                                          \
  "movq " #off "(%[b]), %%rdx\n\txorl %k[z], %k[z]\n\t"                                                \
  "mulxq 0(%[a]), %[lo], %[hi]\n\tadcxq %[lo], %[" #a0 "]\n\tadoxq %[hi], %[" #a1 "]\n\t"                 \
  "mulxq 8(%[a]), %[lo], %[hi]\n\tadcxq %[lo], %[" #a1 "]\n\tadoxq %[hi], %[" #a2 "]\n\t"                 \
  "mulxq 16(%[a]), %[lo], %[hi]\n\tadcxq %[lo], %[" #a2 "]\n\tadoxq %[hi], %[" #a3 "]\n\t"                \
  "mulxq 24(%[a]), %[lo], %[hi]\n\tadcxq %[lo], %[" #a3 "]\n\tadoxq %[hi], %[" #a4 "]\n\t"                \
  "movq $0, %[" #top "]\n\tadcxq %[z], %[" #a4 "]\n\tadoxq %[z], %[" #top "]\n\tadcxq %[z], %[" #top "]\n\t"
// The product with MULX and the two carry chains of ADCX/ADOX, then four reduction steps; about
// three times the speed of what the compiler makes of the portable form.
__attribute__((noinline)) void FeMulAdx(uint64_t* r, const uint64_t* a, const uint64_t* b) {
  uint64_t t0, t1, t2, t3, t4, t5, t6, t7, lo, hi, dx;
  uint64_t* out = r;  // read back from memory at the end: frame-pointer builds have no register to spare
  asm volatile(
      "movq 0(%[b]), %%rdx\n\t"
      "mulxq 0(%[a]), %[t0], %[t1]\n\t"
      "mulxq 8(%[a]), %[lo], %[t2]\n\taddq %[lo], %[t1]\n\t"
      "mulxq 16(%[a]), %[lo], %[t3]\n\tadcq %[lo], %[t2]\n\t"
      "mulxq 24(%[a]), %[lo], %[t4]\n\tadcq %[lo], %[t3]\n\tadcq $0, %[t4]\n\t"
      P256_PROW(8, t1, t2, t3, t4, t5)
      P256_PROW(16, t2, t3, t4, t5, t6)
      P256_PROW(24, t3, t4, t5, t6, t7)
      "movq %[t0], %%rdx\n\tmulxq %[p3], %[lo], %[hi]\n\tshlq $32, %%rdx\n\tshrq $32, %[t0]\n\t"
      "addq %%rdx, %[t1]\n\tadcq %[t0], %[t2]\n\tadcq %[lo], %[t3]\n\tadcq %[hi], %[t4]\n\t"
      "movq $0, %[t0]\n\tadcq $0, %[t0]\n\t"
      P256_SQRED(t1, t2, t3, t4, t5, t0)
      P256_SQRED(t2, t3, t4, t5, t6, t1)
      P256_SQRED(t3, t4, t5, t6, t7, t2)
      "movq %[t4], %[lo]\n\tmovq %[t5], %[hi]\n\tmovq %[t6], %%rdx\n\tmovq %[t7], %[t0]\n\t"
      "subq $-1, %[lo]\n\tsbbq %[p1], %[hi]\n\tsbbq $0, %%rdx\n\tsbbq %[p3], %[t0]\n\tsbbq $0, %[t3]\n\t"
      "cmovcq %[t4], %[lo]\n\tcmovcq %[t5], %[hi]\n\tcmovcq %[t6], %%rdx\n\tcmovcq %[t7], %[t0]\n\t"
      "movq %[out], %[a]\n\t"
      "movq %[lo], 0(%[a])\n\tmovq %[hi], 8(%[a])\n\tmovq %%rdx, 16(%[a])\n\tmovq %[t0], 24(%[a])\n\t"
      : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5),
        [t6] "=&r"(t6), [t7] "=&r"(t7), [lo] "=&r"(lo), [hi] "=&r"(hi), "=&d"(dx), [a] "+&r"(a)
      : [b] "r"(b), [out] "m"(out), [p1] "m"(kP[1]), [p3] "m"(kP[3])
      : "cc", "memory");
}
// Generic Montgomery reduction row for the order: q = a0 n0, then q n is added so that a0 drops out.
#define P256_REDN(a0, a1, a2, a3, a4, top)                                                              \
  "movq %[" #a0 "], %%rdx\n\timulq %[n0], %%rdx\n\txorl %k[z], %k[z]\n\t"                                  \
  "mulxq %[m0], %[lo], %[hi]\n\tadcxq %[lo], %[" #a0 "]\n\tadoxq %[hi], %[" #a1 "]\n\t"                 \
  "mulxq %[m1], %[lo], %[hi]\n\tadcxq %[lo], %[" #a1 "]\n\tadoxq %[hi], %[" #a2 "]\n\t"                 \
  "mulxq %[m2], %[lo], %[hi]\n\tadcxq %[lo], %[" #a2 "]\n\tadoxq %[hi], %[" #a3 "]\n\t"                \
  "mulxq %[m3], %[lo], %[hi]\n\tadcxq %[lo], %[" #a3 "]\n\tadoxq %[hi], %[" #a4 "]\n\t"                \
  "adcxq %[z], %[" #a4 "]\n\tadoxq %[z], %[" #top "]\n\tadcxq %[z], %[" #top "]\n\t"
constexpr uint64_t kN0 = 0xCCD1C8AAEE00BC4F;  // -n^-1 mod 2^64
// a b R^-1 mod n for a, b below n.
__attribute__((noinline)) void ScMulAdx(uint64_t* r, const uint64_t* a, const uint64_t* b) {
  uint64_t t0, t1, t2, t3, t4, t5, lo, hi, z, dx;
  asm volatile(
      "movq 0(%[b]), %%rdx\n\t"
      "mulxq 0(%[a]), %[t0], %[t1]\n\t"
      "mulxq 8(%[a]), %[lo], %[t2]\n\taddq %[lo], %[t1]\n\t"
      "mulxq 16(%[a]), %[lo], %[t3]\n\tadcq %[lo], %[t2]\n\t"
      "mulxq 24(%[a]), %[lo], %[t4]\n\tadcq %[lo], %[t3]\n\tadcq $0, %[t4]\n\t"
      "movq $0, %[t5]\n\t"
      P256_REDN(t0, t1, t2, t3, t4, t5)
      P256_ROW(8, t1, t2, t3, t4, t5, t0) P256_REDN(t1, t2, t3, t4, t5, t0)
      P256_ROW(16, t2, t3, t4, t5, t0, t1) P256_REDN(t2, t3, t4, t5, t0, t1)
      P256_ROW(24, t3, t4, t5, t0, t1, t2) P256_REDN(t3, t4, t5, t0, t1, t2)
      "movq %[t4], %[lo]\n\tmovq %[t5], %[hi]\n\tmovq %[t0], %%rdx\n\tmovq %[t1], %[t3]\n\t"
      "subq %[m0], %[lo]\n\tsbbq %[m1], %[hi]\n\tsbbq %[m2], %%rdx\n\tsbbq %[m3], %[t3]\n\t"
      "sbbq $0, %[t2]\n\t"
      "cmovcq %[t4], %[lo]\n\tcmovcq %[t5], %[hi]\n\tcmovcq %[t0], %%rdx\n\tcmovcq %[t1], %[t3]\n\t"
      "movq %[lo], 0(%[r])\n\tmovq %[hi], 8(%[r])\n\tmovq %%rdx, 16(%[r])\n\tmovq %[t3], 24(%[r])\n\t"
      : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5),
        [lo] "=&r"(lo), [hi] "=&r"(hi), [z] "=&r"(z), "=&d"(dx)
      : [a] "r"(a), [b] "r"(b), [r] "r"(r), [m0] "m"(kN[0]), [m1] "m"(kN[1]), [m2] "m"(kN[2]),
        [m3] "m"(kN[3]), [n0] "m"(kN0)
      : "cc", "memory");
}
// a^2 R^-1 mod p: six cross products doubled plus four squares, then four reduction steps whose
// carries ride in the limb each step frees.
__attribute__((noinline)) void FeSqrAdx(uint64_t* r, const uint64_t* a) {
  uint64_t t0, t1, t2, t3, t4, t5, t6, t7, lo, hi, dx;
  asm volatile(
      "movq 0(%[a]), %%rdx\n\t"
      "mulxq 8(%[a]), %[t1], %[t2]\n\t"
      "mulxq 16(%[a]), %[lo], %[t3]\n\taddq %[lo], %[t2]\n\t"
      "mulxq 24(%[a]), %[lo], %[t4]\n\tadcq %[lo], %[t3]\n\tadcq $0, %[t4]\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\taddq %[lo], %[t3]\n\tadcq %[hi], %[t4]\n\t"
      "mulxq 24(%[a]), %[lo], %[t5]\n\tadcq $0, %[t5]\n\taddq %[lo], %[t4]\n\tadcq $0, %[t5]\n\t"
      "movq 16(%[a]), %%rdx\n\t"
      "mulxq 24(%[a]), %[lo], %[t6]\n\taddq %[lo], %[t5]\n\tadcq $0, %[t6]\n\t"
      "xorl %k[lo], %k[lo]\n\t"
      "movq 0(%[a]), %%rdx\n\tmulxq %%rdx, %[t0], %[hi]\n\t"
      "adcxq %[t1], %[t1]\n\tadoxq %[hi], %[t1]\n\t"
      "movq 8(%[a]), %%rdx\n\tmulxq %%rdx, %[lo], %[hi]\n\t"
      "adcxq %[t2], %[t2]\n\tadoxq %[lo], %[t2]\n\tadcxq %[t3], %[t3]\n\tadoxq %[hi], %[t3]\n\t"
      "movq 16(%[a]), %%rdx\n\tmulxq %%rdx, %[lo], %[hi]\n\t"
      "adcxq %[t4], %[t4]\n\tadoxq %[lo], %[t4]\n\tadcxq %[t5], %[t5]\n\tadoxq %[hi], %[t5]\n\t"
      "movq 24(%[a]), %%rdx\n\tmulxq %%rdx, %[lo], %[hi]\n\t"
      "adcxq %[t6], %[t6]\n\tadoxq %[lo], %[t6]\n\tmovq $0, %[t7]\n\tadcxq %[t7], %[t7]\n\tadoxq %[hi], %[t7]\n\t"
      // Step 0 has no earlier carry to bring in.
      "movq %[t0], %%rdx\n\tmulxq %[p3], %[lo], %[hi]\n\tshlq $32, %%rdx\n\tshrq $32, %[t0]\n\t"
      "addq %%rdx, %[t1]\n\tadcq %[t0], %[t2]\n\tadcq %[lo], %[t3]\n\tadcq %[hi], %[t4]\n\t"
      "movq $0, %[t0]\n\tadcq $0, %[t0]\n\t"
      P256_SQRED(t1, t2, t3, t4, t5, t0)
      P256_SQRED(t2, t3, t4, t5, t6, t1)
      P256_SQRED(t3, t4, t5, t6, t7, t2)
      "movq %[t4], %[lo]\n\tmovq %[t5], %[hi]\n\tmovq %[t6], %%rdx\n\tmovq %[t7], %[t0]\n\t"
      "subq $-1, %[lo]\n\tsbbq %[p1], %[hi]\n\tsbbq $0, %%rdx\n\tsbbq %[p3], %[t0]\n\tsbbq $0, %[t3]\n\t"
      "cmovcq %[t4], %[lo]\n\tcmovcq %[t5], %[hi]\n\tcmovcq %[t6], %%rdx\n\tcmovcq %[t7], %[t0]\n\t"
      "movq %[lo], 0(%[r])\n\tmovq %[hi], 8(%[r])\n\tmovq %%rdx, 16(%[r])\n\tmovq %[t0], 24(%[r])\n\t"
      : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5),
        [t6] "=&r"(t6), [t7] "=&r"(t7), [lo] "=&r"(lo), [hi] "=&r"(hi), "=&d"(dx)
      : [a] "r"(a), [r] "r"(r), [p1] "m"(kP[1]), [p3] "m"(kP[3])
      : "cc", "memory");
}
#undef P256_ROW
#undef P256_REDN
#undef P256_SQRED
#undef P256_PROW
// MULX (BMI2) with ADCX/ADOX (ADX), as the processor features under the test mask allow. Read
// again as each group operation starts; both routes give the same reduced values, so a call that
// sees the mask change midway still computes the right result.
std::atomic<bool> g_adx{false};
inline bool UseAdx() { return g_adx.load(std::memory_order_relaxed); }
void ChooseRoute() { g_adx.store(CpuHas(kCpuBmi2 | kCpuAdx), std::memory_order_relaxed); }

void FeMulPortable(uint64_t* r, const uint64_t* a, const uint64_t* b) {
  uint64_t t[8];
  uint64_t c = 0;
  for (int j = 0; j < 4; ++j) {
    const u128 x = static_cast<u128>(a[0]) * b[j] + c;
    t[j] = static_cast<uint64_t>(x);
    c = static_cast<uint64_t>(x >> 64);
  }
  t[4] = c;
  for (int i = 1; i < 4; ++i) {
    c = 0;
    for (int j = 0; j < 4; ++j) {
      const u128 x = static_cast<u128>(a[i]) * b[j] + t[i + j] + c;
      t[i + j] = static_cast<uint64_t>(x);
      c = static_cast<uint64_t>(x >> 64);
    }
    t[i + 4] = c;
  }
  FeReduce(r, t);
}
inline void FeMul(uint64_t* r, const uint64_t* a, const uint64_t* b) {
  if (UseAdx())
    FeMulAdx(r, a, b);
  else
    FeMulPortable(r, a, b);
}
void FeSqrPortable(uint64_t* r, const uint64_t* a) {
  uint64_t t[8];
  u128 x = static_cast<u128>(a[0]) * a[1];
  t[1] = static_cast<uint64_t>(x);
  x = static_cast<u128>(a[0]) * a[2] + static_cast<uint64_t>(x >> 64);
  t[2] = static_cast<uint64_t>(x);
  x = static_cast<u128>(a[0]) * a[3] + static_cast<uint64_t>(x >> 64);
  t[3] = static_cast<uint64_t>(x);
  t[4] = static_cast<uint64_t>(x >> 64);
  x = static_cast<u128>(a[1]) * a[2] + t[3];
  t[3] = static_cast<uint64_t>(x);
  x = static_cast<u128>(a[1]) * a[3] + t[4] + static_cast<uint64_t>(x >> 64);
  t[4] = static_cast<uint64_t>(x);
  t[5] = static_cast<uint64_t>(x >> 64);
  x = static_cast<u128>(a[2]) * a[3] + t[5];
  t[5] = static_cast<uint64_t>(x);
  t[6] = static_cast<uint64_t>(x >> 64);
  t[7] = t[6] >> 63;
  for (int i = 6; i > 1; --i) t[i] = (t[i] << 1) | (t[i - 1] >> 63);
  t[1] <<= 1;
  unsigned char c = 0;
  const u128 s0 = static_cast<u128>(a[0]) * a[0], s1 = static_cast<u128>(a[1]) * a[1];
  const u128 s2 = static_cast<u128>(a[2]) * a[2], s3 = static_cast<u128>(a[3]) * a[3];
  t[0] = static_cast<uint64_t>(s0);
  t[1] = Adc(t[1], static_cast<uint64_t>(s0 >> 64), c);
  t[2] = Adc(t[2], static_cast<uint64_t>(s1), c);
  t[3] = Adc(t[3], static_cast<uint64_t>(s1 >> 64), c);
  t[4] = Adc(t[4], static_cast<uint64_t>(s2), c);
  t[5] = Adc(t[5], static_cast<uint64_t>(s2 >> 64), c);
  t[6] = Adc(t[6], static_cast<uint64_t>(s3), c);
  t[7] = Adc(t[7], static_cast<uint64_t>(s3 >> 64), c);
  FeReduce(r, t);
}
inline void FeSqr(uint64_t* r, const uint64_t* a) {
  if (UseAdx())
    FeSqrAdx(r, a);
  else
    FeSqrPortable(r, a);
}
void FeSqrN(uint64_t* r, const uint64_t* a, int n) {
  FeSqr(r, a);
  for (int i = 1; i < n; ++i) FeSqr(r, r);
}
// a^(p-2) through a fixed chain of 255 squarings and 12 products; zero maps to zero.
void FeInv(uint64_t* r, const uint64_t* a) {
  uint64_t x2[4], x3[4], x6[4], x12[4], x15[4], x30[4], x32[4], t[4];
  FeSqr(t, a);
  FeMul(x2, t, a);
  FeSqr(t, x2);
  FeMul(x3, t, a);
  FeSqrN(t, x3, 3);
  FeMul(x6, t, x3);
  FeSqrN(t, x6, 6);
  FeMul(x12, t, x6);
  FeSqrN(t, x12, 3);
  FeMul(x15, t, x3);
  FeSqrN(t, x15, 15);
  FeMul(x30, t, x15);
  FeSqrN(t, x30, 2);
  FeMul(x32, t, x2);
  FeSqrN(t, x32, 32);
  FeMul(t, t, a);
  FeSqrN(t, t, 128);
  FeMul(t, t, x32);
  FeSqrN(t, t, 32);
  FeMul(t, t, x32);
  FeSqrN(t, t, 30);
  FeMul(t, t, x30);
  FeSqrN(t, t, 2);
  FeMul(r, t, a);
}
// Big-endian bytes into Montgomery form; false unless below p.
bool FeFromBytes(uint64_t* r, const uint8_t* b, int n) {
  uint64_t v[4];
  if (!LimbsFromBytes<4>(v, b, n) || !Less4(v, kP)) return false;
  FeMul(r, v, kRR);
  return true;
}
void FeToBytes(uint8_t* out, const uint64_t* a) {
  static constexpr uint64_t kUnit[4] = {1, 0, 0, 0};
  uint64_t v[4];
  FeMul(v, a, kUnit);
  LimbsToBytes<4>(out, 32, v);
}

struct Jac {
  uint64_t x[4], y[4], z[4];
};
struct Aff {
  uint64_t x[4], y[4];
};

void SelectJac(Jac& r, const Jac& a, uint64_t mask) {
  Select4(r.x, a.x, mask);
  Select4(r.y, a.y, mask);
  Select4(r.z, a.z, mask);
}
void CondNegY(uint64_t* y, uint64_t mask) {
  static constexpr uint64_t kZero[4] = {};
  uint64_t n[4];
  FeSub(n, kZero, y);
  Select4(y, n, mask);
}

// a / 2 mod p: add p when a is odd, then shift the 257-bit sum.
void FeHalf(uint64_t* r, const uint64_t* a) {
  const uint64_t mask = 0 - (a[0] & 1);
  uint64_t t[4];
  unsigned char c = 0;
  for (int i = 0; i < 4; ++i) t[i] = Adc(a[i], kP[i] & mask, c);
  for (int i = 0; i < 3; ++i) r[i] = (t[i] >> 1) | (t[i + 1] << 63);
  r[3] = (t[3] >> 1) | (static_cast<uint64_t>(c) << 63);
}

// 2P for a = -3 (4M + 4S): M = 3 (X^2 - Z^4), S = 4 X Y^2, X' = M^2 - 2S, Y' = M (S - X') - 8 Y^4,
// Z' = (2Y) Z, with 8 Y^4 taken as (2Y)^4 / 2 to save small multiples. The identity stays put.
void Dbl(Jac& r, const Jac& p) {
  uint64_t y2[4], s[4], zz[4], m[4], t[4], u[4], y4[4];
  FeAdd(y2, p.y, p.y);
  FeSqr(s, y2);
  FeSqr(zz, p.z);
  FeAdd(t, p.x, zz);
  FeSub(u, p.x, zz);
  FeMul(m, t, u);
  FeAdd(t, m, m);
  FeAdd(m, t, m);
  FeSqr(y4, s);
  FeHalf(y4, y4);
  FeMul(s, s, p.x);
  FeMul(r.z, y2, p.z);
  FeAdd(t, s, s);
  FeSqr(u, m);
  FeSub(r.x, u, t);
  FeSub(t, s, r.x);
  FeMul(t, t, m);
  FeSub(r.y, t, y4);
}

// P + Q (12M + 4S). The formula fails for P = Q and at the identity; *hz and *rz get all-ones masks
// when H = U2 - U1 and R = S2 - S1 vanish, so that the public-data callers can see those cases.
void Add(Jac& out, const Jac& p, const Jac& q, uint64_t* hz = nullptr, uint64_t* rz = nullptr) {
  uint64_t z1z1[4], z2z2[4], u1[4], u2[4], s1[4], s2[4], h[4], r[4], hh[4], hhh[4], v[4], t[4];
  FeSqr(z1z1, p.z);
  FeSqr(z2z2, q.z);
  FeMul(u1, p.x, z2z2);
  FeMul(u2, q.x, z1z1);
  FeMul(s1, p.y, q.z);
  FeMul(s1, s1, z2z2);
  FeMul(s2, q.y, p.z);
  FeMul(s2, s2, z1z1);
  FeSub(h, u2, u1);
  FeSub(r, s2, s1);
  if (hz) *hz = ZeroMask4(h), *rz = ZeroMask4(r);
  FeSqr(hh, h);
  FeMul(hhh, h, hh);
  FeMul(v, u1, hh);
  FeMul(t, p.z, q.z);
  FeMul(out.z, t, h);
  FeSqr(t, r);
  FeSub(t, t, hhh);
  FeSub(t, t, v);
  FeSub(out.x, t, v);
  FeSub(t, v, out.x);
  FeMul(t, r, t);
  FeMul(s1, s1, hhh);
  FeSub(out.y, t, s1);
}

// P + Q for an affine Q (8M + 3S), with the same exceptions.
void AddMixed(Jac& out, const Jac& p, const Aff& q, uint64_t* hz = nullptr, uint64_t* rz = nullptr) {
  uint64_t z1z1[4], u2[4], s2[4], h[4], r[4], hh[4], hhh[4], v[4], t[4], y1[4];
  FeSqr(z1z1, p.z);
  FeMul(u2, q.x, z1z1);
  FeMul(s2, q.y, p.z);
  FeMul(s2, s2, z1z1);
  FeSub(h, u2, p.x);
  FeSub(r, s2, p.y);
  if (hz) *hz = ZeroMask4(h), *rz = ZeroMask4(r);
  FeSqr(hh, h);
  FeMul(hhh, h, hh);
  FeMul(v, p.x, hh);
  FeMul(y1, p.y, hhh);
  FeMul(out.z, p.z, h);
  FeSqr(t, r);
  FeSub(t, t, hhh);
  FeSub(t, t, v);
  FeSub(out.x, t, v);
  FeSub(t, v, out.x);
  FeMul(t, r, t);
  FeSub(out.y, t, y1);
}

// Affine big-endian x and y; true (and zeros) for the identity.
bool ToAffine(const Jac& p, uint8_t* x, uint8_t* y) {
  uint64_t zi[4], z2[4], ax[4], ay[4];
  FeInv(zi, p.z);
  FeSqr(z2, zi);
  FeMul(ax, p.x, z2);
  FeMul(z2, z2, zi);
  FeMul(ay, p.y, z2);
  FeToBytes(x, ax);
  FeToBytes(y, ay);
  return ZeroMask4(p.z) != 0;
}

// Bits [pos, pos + count) of k, those outside 0..255 read as zero; pos is public.
inline uint64_t Bits(const uint64_t* k, int pos, int count) {
  const uint64_t mask = (uint64_t{1} << count) - 1;
  if (pos < 0) return (k[0] << -pos) & mask;
  const int limb = pos / 64, shift = pos % 64;
  if (limb >= 4) return 0;
  uint64_t v = k[limb] >> shift;
  if (shift + count > 64 && limb + 1 < 4) v |= k[limb + 1] << (64 - shift);
  return v & mask;
}
// Window i of width w in signed form: its magnitude (0..2^(w-1)) and an all-ones mask when negative.
inline uint64_t Booth(const uint64_t* k, int i, int w, uint64_t* neg) {
  const uint64_t in = Bits(k, w * i - 1, w + 1);
  const uint64_t s = 0 - (in >> w);
  uint64_t d = (((uint64_t{1} << (w + 1)) - 1 - in) & s) | (in & ~s);
  *neg = s;
  return (d >> 1) + (d & 1);
}

// k mod n folded into [0, n/2]: every window sum then stays far enough from the order that the
// incomplete formulas never meet P = Q. *neg is all ones when the result must be negated.
void FoldScalar(uint64_t* out, uint64_t* neg, const uint64_t* k) {
  uint64_t kr[4], m[4];
  CondSub(kr, k, 0, kN);
  unsigned char c = 0;
  for (int i = 0; i < 4; ++i) m[i] = Sbb(kN[i], kr[i], c);
  *neg = 0 - Less4(kHalfN, kr);
  for (int i = 0; i < 4; ++i) out[i] = (m[i] & *neg) | (kr[i] & ~*neg);
  explicit_bzero(kr, sizeof(kr));
  explicit_bzero(m, sizeof(m));
}

// The base-point table: entry [i][j] = (j + 1) 64^i G in affine form, built once.
struct BaseTable {
  Aff e[kBaseWindows][kBaseTable];
  BaseTable() {
    std::vector<Jac> pts(static_cast<size_t>(kBaseWindows) * kBaseTable);
    Jac base;
    Copy4(base.x, kGx);
    Copy4(base.y, kGy);
    for (auto* v : {base.x, base.y}) FeMul(v, v, kRR);
    Copy4(base.z, kOne);
    for (int i = 0; i < kBaseWindows; ++i) {
      Jac* row = &pts[static_cast<size_t>(i) * kBaseTable];
      row[0] = base;
      Dbl(row[1], base);
      for (int j = 2; j < kBaseTable; ++j) Add(row[j], row[j - 1], base);
      Dbl(base, row[kBaseTable - 1]);
    }
    // One inversion for all: prefix products, then walk back.
    std::vector<uint64_t> pre(4 * pts.size());
    uint64_t acc[4], inv[4], t[4];
    Copy4(acc, kOne);
    for (size_t i = 0; i < pts.size(); ++i) {
      Copy4(&pre[4 * i], acc);
      FeMul(acc, acc, pts[i].z);
    }
    FeInv(inv, acc);
    for (size_t i = pts.size(); i-- > 0;) {
      uint64_t zi[4], z2[4];
      FeMul(zi, inv, &pre[4 * i]);
      FeMul(inv, inv, pts[i].z);
      FeSqr(z2, zi);
      Aff& a = e[i / kBaseTable][i % kBaseTable];
      FeMul(a.x, pts[i].x, z2);
      FeMul(t, z2, zi);
      FeMul(a.y, pts[i].y, t);
    }
  }
};
const BaseTable& Base() {
  static const BaseTable table;  // made once, safely across threads
  return table;
}

// Entry mag - 1 of a table of points, touching every entry; zeros for mag = 0. Words is the
// number of limbs per entry (8 affine, 12 Jacobian), read two at a time.
template <int Words, class Point>
void Lookup(Point& out, const Point* table, int count, uint64_t mag) {
  static_assert(sizeof(Point) == 8 * Words);
  __m128i acc[Words / 2];
  for (auto& v : acc) v = _mm_setzero_si128();
  const auto* e = reinterpret_cast<const __m128i*>(table);
  for (int j = 0; j < count; ++j, e += Words / 2) {
    const __m128i mask = _mm_set1_epi64x(static_cast<long long>(EqMask(static_cast<uint64_t>(j + 1), mag)));
    for (int w = 0; w < Words / 2; ++w) acc[w] = _mm_or_si128(acc[w], _mm_and_si128(_mm_loadu_si128(e + w), mask));
  }
  auto* o = reinterpret_cast<__m128i*>(&out);
  for (int w = 0; w < Words / 2; ++w) _mm_storeu_si128(o + w, acc[w]);
}

// k G for a secret k; the walk and every table read are the same for every k.
void BaseMulSecret(Jac& r, const uint64_t* k0) {
  const BaseTable& table = Base();
  uint64_t k[4], negk;
  FoldScalar(k, &negk, k0);
  std::memset(&r, 0, sizeof(r));
  uint64_t inf = ~uint64_t{0};
  Jac sum, tj;
  Aff t;
  for (int i = 0; i < kBaseWindows; ++i) {
    uint64_t neg;
    const uint64_t mag = Booth(k, i, kBaseWidth, &neg);
    Lookup<8>(t, table.e[i], kBaseTable, mag);
    CondNegY(t.y, neg);
    AddMixed(sum, r, t);
    Copy4(tj.x, t.x);
    Copy4(tj.y, t.y);
    Copy4(tj.z, kOne);
    const uint64_t zero = EqMask(mag, 0);
    SelectJac(sum, tj, inf);
    SelectJac(sum, r, zero);
    r = sum;
    inf &= zero;
  }
  CondNegY(r.y, negk);
  explicit_bzero(k, sizeof(k));
  explicit_bzero(&sum, sizeof(sum));
  explicit_bzero(&t, sizeof(t));
  explicit_bzero(&tj, sizeof(tj));
}

// k P for a secret k and an affine P on the curve, with the same fixed walk.
void VarMulSecret(Jac& r, const Aff& p, const uint64_t* k0) {
  uint64_t k[4], negk;
  FoldScalar(k, &negk, k0);
  Jac table[kVarTable];
  Copy4(table[0].x, p.x);
  Copy4(table[0].y, p.y);
  Copy4(table[0].z, kOne);
  for (int m = 2; m <= kVarTable; ++m) {
    if (m % 2 == 0)
      Dbl(table[m - 1], table[m / 2 - 1]);
    else
      AddMixed(table[m - 1], table[m - 2], p);
  }
  std::memset(&r, 0, sizeof(r));
  uint64_t inf = ~uint64_t{0};
  Jac sum, t;
  for (int i = kVarWindows - 1; i >= 0; --i) {
    if (i != kVarWindows - 1)
      for (int j = 0; j < kVarWidth; ++j) Dbl(r, r);
    uint64_t neg;
    const uint64_t mag = Booth(k, i, kVarWidth, &neg);
    Lookup<12>(t, table, kVarTable, mag);
    CondNegY(t.y, neg);
    Add(sum, r, t);
    const uint64_t zero = EqMask(mag, 0);
    SelectJac(sum, t, inf);
    SelectJac(sum, r, zero);
    r = sum;
    inf &= zero;
  }
  CondNegY(r.y, negk);
  explicit_bzero(k, sizeof(k));
  explicit_bzero(table, sizeof(table));
  explicit_bzero(&sum, sizeof(sum));
  explicit_bzero(&t, sizeof(t));
}

// Public-data sums that look at the exceptional cases; the identity is Z = 0.
bool IsInf(const Jac& p) { return ZeroMask4(p.z) != 0; }
// r = s, the sum of r and another point by the incomplete formula, unless that met one of its
// exceptions: equal points (the sum is r doubled) or opposite points (the identity).
void SettlePublicSum(Jac& r, Jac& s, uint64_t hz, uint64_t rz) {
  if (hz) {
    if (rz)
      Dbl(s, r);
    else
      std::memset(&s, 0, sizeof(s));
  }
  r = s;
}
void AddPublic(Jac& r, const Jac& q) {
  if (IsInf(q)) return;
  if (IsInf(r)) {
    r = q;
    return;
  }
  Jac s;
  uint64_t hz, rz;
  Add(s, r, q, &hz, &rz);
  SettlePublicSum(r, s, hz, rz);
}
void AddMixedPublic(Jac& r, const Aff& q) {
  if (IsInf(r)) {
    Copy4(r.x, q.x);
    Copy4(r.y, q.y);
    Copy4(r.z, kOne);
    return;
  }
  Jac s;
  uint64_t hz, rz;
  AddMixed(s, r, q, &hz, &rz);
  SettlePublicSum(r, s, hz, rz);
}

// Width-5 NAF digits of k, least significant first; the count.
int Wnaf(int8_t* out, const uint64_t* k0) {
  uint64_t k[5] = {k0[0], k0[1], k0[2], k0[3], 0};
  int n = 0;
  while (k[0] | k[1] | k[2] | k[3] | k[4]) {
    int d = 0;
    if (k[0] & 1) {
      d = static_cast<int>(k[0] & 31);
      if (d >= 16) d -= 32;
      unsigned char c = 0;
      if (d > 0) {
        k[0] = Sbb(k[0], static_cast<uint64_t>(d), c);
        for (int i = 1; i < 5; ++i) k[i] = Sbb(k[i], 0, c);
      } else {
        k[0] = Adc(k[0], static_cast<uint64_t>(-d), c);
        for (int i = 1; i < 5; ++i) k[i] = Adc(k[i], 0, c);
      }
    }
    out[n++] = static_cast<int8_t>(d);
    for (int i = 0; i < 4; ++i) k[i] = (k[i] >> 1) | (k[i + 1] << 63);
    k[4] >>= 1;
  }
  return n;
}

// u1 G + u2 Q for public scalars: u1 through the base table, u2 through a wNAF over odd multiples.
void DoubleMulPublic(Jac& r, const uint64_t* u1, const uint64_t* u2, const Jac& q) {
  Jac odd[8], q2;
  odd[0] = q;
  Dbl(q2, q);
  for (int i = 1; i < 8; ++i) {
    odd[i] = odd[i - 1];
    AddPublic(odd[i], q2);
  }
  int8_t naf[260];
  const int len = Wnaf(naf, u2);
  std::memset(&r, 0, sizeof(r));
  for (int i = len - 1; i >= 0; --i) {
    if (!IsInf(r)) Dbl(r, r);
    if (const int d = naf[i]) {
      Jac t = odd[(d < 0 ? -d : d) / 2];
      if (d < 0) CondNegY(t.y, ~uint64_t{0});
      AddPublic(r, t);
    }
  }
  const BaseTable& table = Base();
  for (int i = 0; i < kBaseWindows; ++i) {
    uint64_t neg;
    const uint64_t mag = Booth(u1, i, kBaseWidth, &neg);
    if (!mag) continue;
    Aff t = table.e[i][mag - 1];
    if (neg) CondNegY(t.y, neg);
    AddMixedPublic(r, t);
  }
}

class P256 final : public EcGroup {
 public:
  P256() {
    field_bytes_ = order_bytes_ = 32;
    order_bits_ = 256;
    s_.Init(kN);
  }

  bool OnCurve(const uint8_t* x, const uint8_t* y) const override {
    ChooseRoute();
    uint64_t X[4], Y[4];
    return FeFromBytes(X, x, 32) && FeFromBytes(Y, y, 32) && OnCurveMont(X, Y);
  }

  int MulSecret(const uint8_t* k, int klen, const uint8_t* px, const uint8_t* py, uint8_t* out,
                bool* infinity) const override {
    ChooseRoute();
    uint64_t kk[4];
    if (!LimbsFromBytes<4>(kk, k, klen)) return kErrEcPoint;
    Jac r;
    if (!px) {
      BaseMulSecret(r, kk);
    } else {
      Aff p;
      if (!FeFromBytes(p.x, px, 32) || !FeFromBytes(p.y, py, 32)) return kErrEcPoint;
      VarMulSecret(r, p, kk);
    }
    *infinity = ToAffine(r, out, out + 32);
    explicit_bzero(kk, sizeof(kk));
    explicit_bzero(&r, sizeof(r));
    return 0;
  }

  int ReduceScalar(const uint8_t* v, int vlen, uint8_t* out) const override {
    uint64_t r[4];
    if (!ReduceBytes(r, v, vlen)) return kErrEcPoint;
    LimbsToBytes<4>(out, 32, r);
    explicit_bzero(r, sizeof(r));
    return 0;
  }

  int SignCore(const uint8_t* k, int klen, const uint8_t* d, int dlen, const uint8_t* e, int elen, uint8_t* r,
               uint8_t* s, bool* zero) const override {
    ChooseRoute();
    uint64_t kk[4], dd[4], ee[4], rr[4], km[4], kinv[4], dm[4], em[4], rm[4], t[4], ss[4];
    if (!ReduceBytes(kk, k, klen) || !ReduceBytes(dd, d, dlen) || !ReduceBytes(ee, e, elen)) return kErrEcPoint;
    Jac R;
    BaseMulSecret(R, kk);
    uint8_t xy[64];
    const bool inf = ToAffine(R, xy, xy + 32);
    LimbsFromBytes<4>(rr, xy, 32);
    CondSub(rr, rr, 0, kN);
    s_.ToMont(km, kk);
    Inverse(kinv, km);
    s_.ToMont(dm, dd);
    s_.ToMont(em, ee);
    s_.ToMont(rm, rr);
    ScMul(t, dm, rm);
    s_.Add(t, t, em);
    ScMul(t, kinv, t);
    s_.FromMont(ss, t);
    // One verdict from all three without a branch between them: r and the infinity follow the nonce.
    *zero = ((static_cast<uint64_t>(inf) | ZeroMask4(rr) | ZeroMask4(ss)) != 0);
    LimbsToBytes<4>(r, 32, rr);
    LimbsToBytes<4>(s, 32, ss);
    for (auto* v : {kk, dd, km, kinv, dm, t}) explicit_bzero(v, 32);
    explicit_bzero(&R, sizeof(R));
    explicit_bzero(xy, sizeof(xy));
    return 0;
  }

  bool VerifyCore(const uint8_t* e, int elen, const uint8_t* r, int rlen, const uint8_t* s, int slen,
                  const uint8_t* qx, const uint8_t* qy) const override {
    ChooseRoute();
    uint64_t rr[4], ss[4], ee[4], w[4], sm[4], u1[4], u2[4], t[4];
    if (!LimbsFromBytes<4>(rr, r, rlen) || !LimbsFromBytes<4>(ss, s, slen)) return false;
    if (ZeroMask4(rr) || ZeroMask4(ss) || !s_.Below(rr) || !s_.Below(ss)) return false;
    if (!ReduceBytes(ee, e, elen)) return false;
    Jac q;
    if (!FeFromBytes(q.x, qx, 32) || !FeFromBytes(q.y, qy, 32) || !OnCurveMont(q.x, q.y)) return false;
    Copy4(q.z, kOne);
    s_.ToMont(sm, ss);
    Inverse(w, sm);
    s_.ToMont(t, ee);
    ScMul(u1, t, w);
    s_.FromMont(u1, u1);
    s_.ToMont(t, rr);
    ScMul(u2, t, w);
    s_.FromMont(u2, u2);
    Jac sum;
    DoubleMulPublic(sum, u1, u2, q);
    if (IsInf(sum)) return false;
    // x = X / Z^2 is compared without an inversion: r Z^2 = X, or (r + n) Z^2 = X when r + n < p.
    uint64_t z2[4], cand[4], xr[4];
    FeSqr(z2, sum.z);
    FeMul(cand, rr, kRR);
    FeMul(xr, cand, z2);
    if (Equal4(xr, sum.x)) return true;
    unsigned char c = 0;
    for (int i = 0; i < 4; ++i) cand[i] = Adc(rr[i], kN[i], c);
    if (c || !Less4(cand, kP)) return false;
    FeMul(cand, cand, kRR);
    FeMul(xr, cand, z2);
    return Equal4(xr, sum.x);
  }

 private:
  static bool OnCurveMont(const uint64_t* x, const uint64_t* y) {
    uint64_t l[4], r[4], t[4];
    FeSqr(l, y);
    FeSqr(t, x);
    FeMul(r, t, x);
    FeSub(r, r, x);
    FeSub(r, r, x);
    FeSub(r, r, x);
    FeAdd(r, r, kB);
    return Equal4(l, r);
  }
  // A big-endian value of up to 64 bytes mod n: v = hi 2^256 + lo, and ToMont(hi) = hi 2^256 mod n.
  bool ReduceBytes(uint64_t* out, const uint8_t* v, int n) const {
    uint64_t wide[8], hi[4];
    if (!LimbsFromBytes<8>(wide, v, n)) return false;
    s_.ToMont(hi, wide + 4);
    CondSub(out, wide, 0, kN);
    s_.Add(out, out, hi);
    explicit_bzero(wide, sizeof(wide));
    explicit_bzero(hi, sizeof(hi));
    return true;
  }
  // a^(n-2) mod n in Montgomery form, 4-bit windows over the public exponent.
  void Inverse(uint64_t* r, const uint64_t* a) const {
    static constexpr uint64_t kE[4] = {kN[0] - 2, kN[1], kN[2], kN[3]};
    uint64_t pw[16][4], acc[4];
    Copy4(pw[0], s_.one);
    for (int i = 1; i < 16; ++i) ScMul(pw[i], pw[i - 1], a);
    Copy4(acc, pw[kE[3] >> 60]);
    for (int i = 62; i >= 0; --i) {
      for (int j = 0; j < 4; ++j) ScMul(acc, acc, acc);
      const unsigned nib = static_cast<unsigned>((kE[i / 16] >> (4 * (i % 16))) & 15);
      if (nib) ScMul(acc, acc, pw[nib]);
    }
    Copy4(r, acc);
    explicit_bzero(pw, sizeof(pw));
    explicit_bzero(acc, sizeof(acc));
  }

  void ScMul(uint64_t* r, const uint64_t* a, const uint64_t* b) const {
    if (UseAdx())
      ScMulAdx(r, a, b);
    else
      s_.Mul(r, a, b);
  }

  MontField<4> s_;
};

bool SameNumber(const ByteString& a, const ByteString& b) {
  int i = 0, j = 0;
  while (i < a.length() && a.bytes()[i] == 0) ++i;
  while (j < b.length() && b.bytes()[j] == 0) ++j;
  return a.length() - i == b.length() - j &&
         std::memcmp(a.bytes() + i, b.bytes() + j, static_cast<size_t>(a.length() - i)) == 0;
}

}  // namespace

bool IsP256Params(const EcCurveParams& c) {
  const EcCurveParams* ref = NamedCurveParams(0);
  return ref && c.field_kind == kFieldKindPrime && SameNumber(c.p, ref->p) && SameNumber(c.a, ref->a) &&
         SameNumber(c.b, ref->b) && SameNumber(c.gx, ref->gx) && SameNumber(c.gy, ref->gy) &&
         SameNumber(c.n, ref->n);
}

std::unique_ptr<EcGroup> MakeP256Group() { return std::make_unique<P256>(); }

}  // namespace tw
