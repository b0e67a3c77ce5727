#include "crypto/pubkey/montgomery.h"

#include "crypto/pubkey/constant_time.h"
#include "crypto/symmetric/cpu_features.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tw {

namespace {

// Window sizes by exponent length: the first entry at least as long as the exponent.
constexpr int kWindowBits[] = {7, 25, 81, 241, 673, 1793};

int WindowFor(int bits) {
  int w = 0;
  while (w < 6 && kWindowBits[w] < bits) ++w;
  return w < 1 ? 1 : w;
}

// w bits of e starting at bit pos (bits beyond e read as zero).
unsigned ExponentBits(const LimbVector& e, int pos, int w) {
  unsigned v = 0;
  for (int i = w - 1; i >= 0; --i) {
    const int b = pos + i;
    const size_t li = static_cast<size_t>(b) / 64;
    const unsigned bit = li < e.size() ? static_cast<unsigned>((e[li] >> (b % 64)) & 1) : 0;
    v = (v << 1) | bit;
  }
  return v;
}

// A 192-bit column accumulator for product scanning.
struct Acc {
  DLimb lo = 0;  // the low two limbs
  Limb hi = 0;
  inline void Add(Limb x, Limb y) {
    const DLimb p = static_cast<DLimb>(x) * y;
    lo += p;
    hi += lo < p;
  }
  inline void AddLimb(Limb x) {
    lo += x;
    hi += lo < x;
  }
  // acc += 2 * other
  inline void AddDouble(const Acc& o) {
    hi += 2 * o.hi + static_cast<Limb>(o.lo >> 127);
    const DLimb d = o.lo << 1;
    lo += d;
    hi += lo < d;
  }
  Limb low() const { return static_cast<Limb>(lo); }
  // Takes the low limb out and shifts the rest down.
  inline Limb Shift() {
    const Limb out = static_cast<Limb>(lo);
    lo = (lo >> 64) | (static_cast<DLimb>(hi) << 64);
    hi = 0;
    return out;
  }
};

// t = 2 t + the squares of a's limbs, over 2n limbs.
inline void DoubleAddSquares(Limb* t, const Limb* a, size_t n) {
  Limb top = 0, carry = 0;
  for (size_t i = 0; i < n; ++i) {
    const Limb x0 = t[2 * i], x1 = t[2 * i + 1];
    const Limb d0 = (x0 << 1) | top, d1 = (x1 << 1) | (x0 >> 63);
    top = x1 >> 63;
    const DLimb p = static_cast<DLimb>(a[i]) * a[i];
    const DLimb s0 = static_cast<DLimb>(d0) + static_cast<Limb>(p) + carry;
    const DLimb s1 = static_cast<DLimb>(d1) + static_cast<Limb>(p >> 64) + static_cast<Limb>(s0 >> 64);
    t[2 * i] = static_cast<Limb>(s0);
    t[2 * i + 1] = static_cast<Limb>(s1);
    carry = static_cast<Limb>(s1 >> 64);
  }
}

// t (n limbs) plus carry c is below 2m: subtract m once, without branching on the values.
template <size_t N>
inline void FinalSubtract(Limb* r, const Limb* t, Limb c, const Limb* m, size_t n_rt) {
  const size_t n = N ? N : n_rt;
  Limb d[N ? N : MontgomeryContext::kMaxLimbs];
  Limb borrow = 0;
  for (size_t i = 0; i < n; ++i) {
    const DLimb x = static_cast<DLimb>(t[i]) - m[i] - borrow;
    d[i] = static_cast<Limb>(x);
    borrow = static_cast<Limb>(x >> 64) & 1;
  }
  const Limb use_d = limb::IsZeroMask(borrow) | (0 - c);
  for (size_t i = 0; i < n; ++i) r[i] = t[i] ^ ((t[i] ^ d[i]) & use_d);
}

// Product-scanning Montgomery multiplication: each column gathers a*b and u*m products in one
// accumulator, so no intermediate row is stored. N fixes the size at compile time (0: use n).
template <size_t N>
void MontMul(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb minv, size_t n_rt) {
  const size_t n = N ? N : n_rt;
  Limb u[MontgomeryContext::kMaxLimbs];
  Limb t[MontgomeryContext::kMaxLimbs];
  Acc acc;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) {
      acc.Add(a[j], b[i - j]);
      acc.Add(u[j], m[i - j]);
    }
    acc.Add(a[i], b[0]);
    u[i] = acc.low() * minv;
    acc.Add(u[i], m[0]);
    acc.Shift();
  }
  for (size_t i = n; i < 2 * n - 1; ++i) {
    for (size_t j = i - n + 1; j < n; ++j) {
      acc.Add(a[j], b[i - j]);
      acc.Add(u[j], m[i - j]);
    }
    t[i - n] = acc.Shift();
  }
  t[n - 1] = acc.Shift();
  FinalSubtract<N>(r, t, acc.low(), m, n);
}

// The same for a*a: the square is formed first with each cross product computed once and
// doubled, then reduced column by column.
template <size_t N>
void MontSqr(Limb* r, const Limb* a, const Limb* m, Limb minv, size_t n_rt) {
  const size_t n = N ? N : n_rt;
  Limb sq[2 * MontgomeryContext::kMaxLimbs];
  Limb u[MontgomeryContext::kMaxLimbs];
  Limb t[MontgomeryContext::kMaxLimbs];
  // Cross products, column by column.
  Acc acc;
  sq[0] = 0;
  for (size_t i = 1; i < 2 * n - 2; ++i) {
    const size_t lo = i < n ? 0 : i - n + 1;
    for (size_t j = lo; 2 * j < i; ++j) acc.Add(a[j], a[i - j]);
    sq[i] = acc.Shift();
  }
  sq[2 * n - 2] = acc.Shift();
  sq[2 * n - 1] = acc.Shift();
  // Double them and add the diagonal.
  DoubleAddSquares(sq, a, n);
  // Montgomery reduction of the 2n-limb square.
  Acc red;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) red.Add(u[j], m[i - j]);
    red.AddLimb(sq[i]);
    u[i] = red.low() * minv;
    red.Add(u[i], m[0]);
    red.Shift();
  }
  for (size_t i = n; i < 2 * n; ++i) {
    for (size_t j = i - n + 1; j < n; ++j) red.Add(u[j], m[i - j]);
    red.AddLimb(sq[i]);
    t[i - n] = red.Shift();
  }
  FinalSubtract<N>(r, t, red.low(), m, n);
}

// Fully unrolled forms for the common sizes: every column is straight-line code generated from
// index sequences, so there is no loop control between the multiply-accumulate steps.
namespace unrolled {

template <size_t I, size_t... J>
inline void MulLowTerms(Acc& acc, const Limb* a, const Limb* b, const Limb* u, const Limb* m,
                        std::index_sequence<J...>) {
  ((acc.Add(a[J], b[I - J]), acc.Add(u[J], m[I - J])), ...);
}

template <size_t N, size_t D, size_t... K>
inline void MulHighTerms(Acc& acc, const Limb* a, const Limb* b, const Limb* u, const Limb* m,
                         std::index_sequence<K...>) {
  ((acc.Add(a[D + 1 + K], b[N - 1 - K]), acc.Add(u[D + 1 + K], m[N - 1 - K])), ...);
}

template <size_t N, size_t... I>
inline void MulLow(Acc& acc, const Limb* a, const Limb* b, Limb* u, const Limb* m, Limb minv,
                   std::index_sequence<I...>) {
  ((MulLowTerms<I>(acc, a, b, u, m, std::make_index_sequence<I>{}), acc.Add(a[I], b[0]),
    u[I] = acc.low() * minv, acc.Add(u[I], m[0]), acc.Shift()),
   ...);
}

template <size_t N, size_t... D>
inline void MulHigh(Acc& acc, const Limb* a, const Limb* b, const Limb* u, const Limb* m, Limb* t,
                    std::index_sequence<D...>) {
  ((MulHighTerms<N, D>(acc, a, b, u, m, std::make_index_sequence<N - 1 - D>{}), t[D] = acc.Shift()), ...);
}

template <size_t N>
void MontMul(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb minv, size_t) {
  Limb u[N], t[N];
  Acc acc;
  MulLow<N>(acc, a, b, u, m, minv, std::make_index_sequence<N>{});
  MulHigh<N>(acc, a, b, u, m, t, std::make_index_sequence<N - 1>{});
  t[N - 1] = acc.Shift();
  FinalSubtract<N>(r, t, acc.low(), m, N);
}

// Cross products a[Lo+K] * a[I-Lo-K] of column I.
template <size_t I, size_t Lo, size_t... K>
inline void CrossTerms(Acc& acc, const Limb* a, std::index_sequence<K...>) {
  ((acc.Add(a[Lo + K], a[I - Lo - K])), ...);
}

template <size_t I, size_t Lo, size_t... K>
inline void ReduceTerms(Acc& acc, const Limb* u, const Limb* m, std::index_sequence<K...>) {
  ((acc.Add(u[Lo + K], m[I - Lo - K])), ...);
}

template <size_t N, size_t I>
inline void SqrColumn(Acc& acc, const Limb* a, Limb* u, const Limb* m, Limb minv, Limb* t) {
  constexpr size_t lo = I < N ? 0 : I - N + 1;
  constexpr size_t cross = (I + 1) / 2 > lo ? (I + 1) / 2 - lo : 0;
  Acc c;
  CrossTerms<I, lo>(c, a, std::make_index_sequence<cross>{});
  acc.AddDouble(c);
  if constexpr (I % 2 == 0) acc.Add(a[I / 2], a[I / 2]);
  constexpr size_t uhi = I < N ? I : N;
  ReduceTerms<I, lo>(acc, u, m, std::make_index_sequence<uhi - lo>{});
  if constexpr (I < N) {
    u[I] = acc.low() * minv;
    acc.Add(u[I], m[0]);
    acc.Shift();
  } else {
    t[I - N] = acc.Shift();
  }
}

template <size_t N, size_t... I>
inline void SqrColumns(Acc& acc, const Limb* a, Limb* u, const Limb* m, Limb minv, Limb* t,
                       std::index_sequence<I...>) {
  (SqrColumn<N, I>(acc, a, u, m, minv, t), ...);
}

template <size_t N>
void MontSqr(Limb* r, const Limb* a, const Limb* m, Limb minv, size_t) {
  Limb u[N], t[N];
  Acc acc;
  SqrColumns<N>(acc, a, u, m, minv, t, std::make_index_sequence<2 * N - 1>{});
  t[N - 1] = acc.Shift();
  FinalSubtract<N>(r, t, acc.low(), m, N);
}

}  // namespace unrolled

struct Kernel {
  size_t n;
  void (*mul)(Limb*, const Limb*, const Limb*, const Limb*, Limb, size_t);
  void (*sqr)(Limb*, const Limb*, const Limb*, Limb, size_t);
};

// Sizes of the usual moduli (RSA and DH primes and their CRT halves) get unrolled kernels.
constexpr Kernel kKernels[] = {
    {4, &MontMul<4>, &MontSqr<4>},     {8, &unrolled::MontMul<8>, &unrolled::MontSqr<8>},     {12, &MontMul<12>, &MontSqr<12>},
    {16, &unrolled::MontMul<16>, &unrolled::MontSqr<16>},  {24, &MontMul<24>, &MontSqr<24>},  {32, &MontMul<32>, &MontSqr<32>},
    {48, &MontMul<48>, &MontSqr<48>},  {64, &MontMul<64>, &MontSqr<64>},
};

#if defined(__x86_64__)
// MULX leaves the flags alone, so a row of products can carry its low halves on CF (ADCX) and its
// high halves on OF (ADOX) at once: one and a half to two times the speed of the single-chain
// kernels above. Every loop runs on the size alone, never on the values.
namespace adx {

// One step of a row: the low half goes into r[off] on the CF chain, the previous limb's high half
// on the OF chain.
#define TW_ADX_STEP(off, hnew, hprev)                      \
  "mulxq " #off "(%[a]), %[lo], %[" #hnew "]\n\t"         \
  "movq " #off "(%[r]), %[x]\n\t"                         \
  "adcxq %[lo], %[x]\n\t"                                 \
  "adoxq %[" #hprev "], %[x]\n\t"                         \
  "movq %[x], " #off "(%[r])\n\t"

// r[0..n) += a[0..n) * b for n >= 1; the carry limb out. The n % 4 odd limbs go first, one at a
// time, then blocks of four. The loops step with LEA, MOV and JRCXZ, which keep both chains.
inline Limb MulAddRow(Limb* r, const Limb* a, size_t n, Limb b) {
  Limb lo, h0, h1, x;
  size_t count = n % 4;
  asm volatile(
      "xorl %k[h1], %k[h1]\n\t"
      "jrcxz 2f\n"
      "1:\n\t"
      TW_ADX_STEP(0, h0, h1)
      "movq %[h0], %[h1]\n\tleaq 8(%[a]), %[a]\n\tleaq 8(%[r]), %[r]\n\tleaq -1(%[c]), %[c]\n\t"
      "jrcxz 2f\n\tjmp 1b\n"
      "2:\n\t"
      "movq %[blocks], %[c]\n\t"
      "jrcxz 4f\n"
      "3:\n\t"
      TW_ADX_STEP(0, h0, h1) TW_ADX_STEP(8, h1, h0) TW_ADX_STEP(16, h0, h1) TW_ADX_STEP(24, h1, h0)
      "leaq 32(%[a]), %[a]\n\tleaq 32(%[r]), %[r]\n\tleaq -1(%[c]), %[c]\n\t"
      "jrcxz 4f\n\tjmp 3b\n"
      "4:\n\t"
      "movl $0, %k[x]\n\tadcxq %[x], %[h1]\n\tadoxq %[x], %[h1]\n\t"
      : [r] "+&r"(r), [a] "+&r"(a), [c] "+&c"(count), [lo] "=&r"(lo), [h0] "=&r"(h0), [h1] "=&r"(h1),
        [x] "=&r"(x)
      : "d"(b), [blocks] "rm"(n / 4)
      : "cc", "memory");
  return h1;
}
#undef TW_ADX_STEP

// t (2n limbs) R^-1 mod m, below m: one row of u m per limb, its carry kept apart in top.
inline void Reduce(Limb* r, Limb* t, const Limb* m, Limb minv, size_t n) {
  Limb top = 0;
  for (size_t i = 0; i < n; ++i) {
    const Limb c = MulAddRow(t + i, m, n, t[i] * minv);
    const DLimb x = static_cast<DLimb>(t[i + n]) + c + top;
    t[i + n] = static_cast<Limb>(x);
    top = static_cast<Limb>(x >> 64);
  }
  FinalSubtract<0>(r, t + n, top, m, n);
}

void MontMul(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb minv, size_t n) {
  Limb t[2 * MontgomeryContext::kMaxLimbs];
  std::memset(t, 0, n * sizeof(Limb));
  for (size_t i = 0; i < n; ++i) t[i + n] = MulAddRow(t + i, a, n, b[i]);
  Reduce(r, t, m, minv, n);
}

// The cross products row by row, then doubled with the squares of the limbs added.
void MontSqr(Limb* r, const Limb* a, const Limb* m, Limb minv, size_t n) {
  Limb t[2 * MontgomeryContext::kMaxLimbs];
  std::memset(t, 0, 2 * n * sizeof(Limb));
  for (size_t i = 0; i + 1 < n; ++i) t[i + n] = MulAddRow(t + 2 * i + 1, a + i + 1, n - 1 - i, a[i]);
  DoubleAddSquares(t, a, n);
  Reduce(r, t, m, minv, n);
}

// The same row at a size known when compiling: straight-line code, the sum read from memory by
// ADCX itself.
#define TW_ADX_FIXED_STEP                         \
  "mulxq tw_adx_o(%[a]), %[lo], %[h0]\n\t"       \
  "adcxq tw_adx_o(%[r]), %[lo]\n\t"              \
  "adoxq %[h1], %[lo]\n\t"                       \
  "movq %[lo], tw_adx_o(%[r])\n\t"               \
  "movq %[h0], %[h1]\n\t"                        \
  "tw_adx_o = tw_adx_o + 8\n\t"
template <size_t L>
inline Limb MulAddRowFixed(Limb* r, const Limb* a, Limb b) {
  Limb lo, h0, h1;
  asm volatile(
      "xorl %k[h1], %k[h1]\n\t"
      "tw_adx_o = 0\n\t"
      ".rept %c[len]\n\t" TW_ADX_FIXED_STEP ".endr\n\t"
      "movl $0, %k[lo]\n\tadcxq %[lo], %[h1]\n\tadoxq %[lo], %[h1]\n\t"
      : [lo] "=&r"(lo), [h0] "=&r"(h0), [h1] "=&r"(h1)
      : [r] "r"(r), [a] "r"(a), "d"(b), [len] "i"(L)
      : "cc", "memory");
  return h1;
}
#undef TW_ADX_FIXED_STEP

template <size_t N>
inline void ReduceFixed(Limb* r, Limb* t, const Limb* m, Limb minv) {
  Limb top = 0;
#pragma GCC unroll 1
  for (size_t i = 0; i < N; ++i) {
    const Limb c = MulAddRowFixed<N>(t + i, m, t[i] * minv);
    const DLimb x = static_cast<DLimb>(t[i + N]) + c + top;
    t[i + N] = static_cast<Limb>(x);
    top = static_cast<Limb>(x >> 64);
  }
  FinalSubtract<N>(r, t + N, top, m, N);
}

template <size_t N>
void MontMulFixed(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb minv, size_t) {
  Limb t[2 * N];
  std::memset(t, 0, N * sizeof(Limb));
#pragma GCC unroll 1
  for (size_t i = 0; i < N; ++i) t[i + N] = MulAddRowFixed<N>(t + i, a, b[i]);
  ReduceFixed<N>(r, t, m, minv);
}

template <size_t N, size_t... I>
inline void CrossRowsFixed(Limb* t, const Limb* a, std::index_sequence<I...>) {
  ((t[I + N] = MulAddRowFixed<N - 1 - I>(t + 2 * I + 1, a + I + 1, a[I])), ...);
}

// Up to 32 limbs each cross row is its own straight-line code; past that the code would not
// stay in the instruction cache, and the rows loop.
template <size_t N>
void MontSqrFixed(Limb* r, const Limb* a, const Limb* m, Limb minv, size_t) {
  Limb t[2 * N];
  std::memset(t, 0, 2 * N * sizeof(Limb));
  if constexpr (N <= 32) {
    CrossRowsFixed<N>(t, a, std::make_index_sequence<N - 1>{});
  } else {
    for (size_t i = 0; i + 1 < N; ++i) t[i + N] = MulAddRow(t + 2 * i + 1, a + i + 1, N - 1 - i, a[i]);
  }
  DoubleAddSquares(t, a, N);
  ReduceFixed<N>(r, t, m, minv);
}

constexpr Kernel kFixed[] = {
    {8, &MontMulFixed<8>, &MontSqrFixed<8>},    {16, &MontMulFixed<16>, &MontSqrFixed<16>},
    {24, &MontMulFixed<24>, &MontSqrFixed<24>}, {32, &MontMulFixed<32>, &MontSqrFixed<32>},
    {48, &MontMulFixed<48>, &MontSqrFixed<48>}, {64, &MontMulFixed<64>, &MontSqrFixed<64>},
};

}  // namespace adx
#endif

// Radix 2^52: AVX-512 IFMA multiplies 52-bit lanes eight at a time, several times faster than
// the 64-bit scalar kernels. Values stay below 2m between products (almost-Montgomery form),
// so no product ends in a data-dependent subtraction.
namespace radix52 {

constexpr uint64_t kMask52 = (static_cast<uint64_t>(1) << 52) - 1;
// 8-lane groups: up to 80 limbs, moduli of 4158 bits.
constexpr size_t kMaxGroups = 10;
constexpr size_t kMaxLanes = 8 * kMaxGroups;
// Below this the scalar kernels are as fast and the conversions are not worth it.
constexpr size_t kMinLimbs64 = 8;
// Residues that one call multiplies side by side.
constexpr size_t kMaxCount = 2;

void Split(const Limb* x, size_t n, uint64_t* out, size_t lanes) {
  for (size_t j = 0; j < lanes; ++j) {
    const size_t bit = 52 * j, li = bit / 64, off = bit % 64;
    uint64_t v = li < n ? x[li] >> off : 0;
    if (off > 12 && li + 1 < n) v |= x[li + 1] << (64 - off);
    out[j] = v & kMask52;
  }
}

void Join(const uint64_t* x, size_t limbs, Limb* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = 0;
  for (size_t j = 0; j < limbs; ++j) {
    const size_t bit = 52 * j, li = bit / 64, off = bit % 64;
    if (li < n) out[li] |= x[j] << off;
    if (off > 12 && li + 1 < n) out[li + 1] |= x[j] >> (64 - off);
  }
}

// One product r = a*b/R mod m.
struct AmmJob {
  uint64_t* r;
  const uint64_t* a;
  const uint64_t* b;
  const uint64_t* m;
  uint64_t k0;
};

using AmmFn = void (*)(const AmmJob* jobs, size_t limbs);
using PickFn = void (*)(uint64_t* dst, const uint64_t* table, size_t entries, size_t lanes, size_t count,
                        const unsigned* idx);

#if defined(__x86_64__)
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 takes the intrinsics' deliberately undefined fill values for uninitialised reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// K products over moduli of the same size, each below 2m for inputs below 2m, their rounds
// interleaved so that each hides the other's latency. One limb of b per round: the low halves
// of a*b_i and m*u go into the accumulator, while the high halves and the next round's
// a*b_{i+1} gather apart, so the chain from one u to the next stays short.
template <size_t G, size_t K>
__attribute__((target("avx512f,avx512ifma"))) void Amm(const AmmJob* jobs, size_t limbs) {
  const __m512i zero = _mm512_setzero_si512();
  __m512i acc[K][G], av[K][G], mv[K][G], bv[K];
  uint64_t carry[K], m0[K], k0[K];  // carry: what the lane shifted out leaves for the next
  for (size_t k = 0; k < K; ++k) {
    bv[k] = _mm512_set1_epi64(static_cast<long long>(jobs[k].b[0]));
    for (size_t g = 0; g < G; ++g) {
      av[k][g] = _mm512_loadu_si512(jobs[k].a + 8 * g);
      mv[k][g] = _mm512_loadu_si512(jobs[k].m + 8 * g);
      acc[k][g] = _mm512_madd52lo_epu64(zero, av[k][g], bv[k]);
    }
    carry[k] = 0;
    m0[k] = jobs[k].m[0];
    k0[k] = jobs[k].k0;
  }
  for (size_t i = 0; i < limbs; ++i) {
    for (size_t k = 0; k < K; ++k) {
      const uint64_t t = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(acc[k][0]))) + carry[k];
      const uint64_t u = (t * k0[k]) & kMask52;
      carry[k] = (t + ((u * m0[k]) & kMask52)) >> 52;
      const __m512i uv = _mm512_set1_epi64(static_cast<long long>(u));
      const __m512i next = i + 1 < limbs ? _mm512_set1_epi64(static_cast<long long>(jobs[k].b[i + 1])) : zero;
      __m512i hi[G];
      for (size_t g = 0; g < G; ++g) {
        hi[g] = _mm512_madd52hi_epu64(zero, av[k][g], bv[k]);
        hi[g] = _mm512_madd52lo_epu64(hi[g], av[k][g], next);
        hi[g] = _mm512_madd52hi_epu64(hi[g], mv[k][g], uv);
        acc[k][g] = _mm512_madd52lo_epu64(acc[k][g], mv[k][g], uv);
      }
      for (size_t g = 0; g + 1 < G; ++g) {
        acc[k][g] = _mm512_add_epi64(_mm512_alignr_epi64(acc[k][g + 1], acc[k][g], 1), hi[g]);
      }
      acc[k][G - 1] = _mm512_add_epi64(_mm512_alignr_epi64(zero, acc[k][G - 1], 1), hi[G - 1]);
      bv[k] = next;
    }
  }
  for (size_t k = 0; k < K; ++k) {
    alignas(64) uint64_t out[8 * G];
    for (size_t g = 0; g < G; ++g) _mm512_store_si512(out + 8 * g, acc[k][g]);
    // Lanes hold sums of up to 4 * limbs products: carry them back into 52-bit limbs.
    uint64_t* r = jobs[k].r;
    uint64_t c = carry[k];
    for (size_t j = 0; j < limbs; ++j) {
      const uint64_t v = out[j] + c;
      r[j] = v & kMask52;
      c = v >> 52;
    }
    for (size_t j = limbs; j < 8 * G; ++j) r[j] = 0;
  }
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Each residue k of dst becomes its entry idx[k], every entry read in full whatever the index.
__attribute__((target("avx512f"))) void Pick(uint64_t* dst, const uint64_t* table, size_t entries, size_t lanes,
                                             size_t count, const unsigned* idx) {
  const size_t stride = lanes * count;
  for (size_t k = 0; k < count; ++k) {
    Limb masks[64];
    for (size_t i = 0; i < entries; ++i) masks[i] = limb::IsZeroMask(static_cast<Limb>(i ^ idx[k]));
    for (size_t off = k * lanes; off < (k + 1) * lanes; off += 8) {
      __m512i acc = _mm512_setzero_si512();
      for (size_t i = 0; i < entries; ++i) {
        const __m512i mask = _mm512_set1_epi64(static_cast<long long>(masks[i]));
        acc = _mm512_or_si512(acc, _mm512_and_si512(mask, _mm512_loadu_si512(table + i * stride + off)));
      }
      _mm512_storeu_si512(dst + off, acc);
    }
  }
}

constexpr AmmFn kAmm[kMaxCount][kMaxGroups] = {
    {&Amm<1, 1>, &Amm<2, 1>, &Amm<3, 1>, &Amm<4, 1>, &Amm<5, 1>, &Amm<6, 1>, &Amm<7, 1>, &Amm<8, 1>, &Amm<9, 1>,
     &Amm<10, 1>},
    {&Amm<1, 2>, &Amm<2, 2>, &Amm<3, 2>, &Amm<4, 2>, &Amm<5, 2>, &Amm<6, 2>, &Amm<7, 2>, &Amm<8, 2>, &Amm<9, 2>,
     &Amm<10, 2>},
};
constexpr PickFn kPick = &Pick;

bool Available() { return CpuHas(kCpuAvx512 | kCpuAvx512Ifma); }
#else
constexpr AmmFn kAmm[kMaxCount][kMaxGroups] = {};
constexpr PickFn kPick = nullptr;
bool Available() { return false; }
#endif

}  // namespace radix52

// Constant-time table read: every entry is touched, the one wanted kept by mask.
void PickScalar(Limb* dst, const Limb* table, size_t entries, size_t n, unsigned idx) {
  std::memset(dst, 0, n * sizeof(Limb));
  for (size_t i = 0; i < entries; ++i) {
    const Limb mask = limb::IsZeroMask(static_cast<Limb>(i ^ idx));
    const Limb* src = table + i * n;
    for (size_t j = 0; j < n; ++j) dst[j] |= src[j] & mask;
  }
}

// The element operations an exponentiation needs, over the 64-bit Montgomery form: one residue.
class Ops64 {
 public:
  explicit Ops64(const MontgomeryContext& c) : c_(c) {}
  size_t count() const { return 1; }
  size_t width() const { return c_.limbs(); }
  void Mul(Limb* r, const Limb* a, const Limb* b) const { c_.Mul(r, a, b); }
  void Sqr(Limb* r, const Limb* a) const { c_.Sqr(r, a); }
  void To(size_t, const BigNumber& a, Limb* out) const { c_.ToMont(a, out); }
  void From(size_t, const Limb* a, BigNumber& out) const { c_.FromMont(a, out); }
  void To(size_t, const Limb* a, Limb* out) const { c_.ToMontLimbs(a, c_.limbs(), out); }
  void From(size_t, const Limb* a, Limb* out) const { c_.FromMontLimbs(a, out); }
  void Pick(Limb* dst, const Limb* table, size_t entries, const unsigned* idx) const {
    PickScalar(dst, table, entries, width(), idx[0]);
  }

 private:
  const MontgomeryContext& c_;
};

// The radix 2^52 form: count residues of the same size side by side in an element, each
// product working on all of them at once.
class Ops52 {
 public:
  Ops52(const MontRadix52* const* w, const BigNumber* const* m, size_t count) : count_(count) {
    for (size_t k = 0; k < count; ++k) {
      w_[k] = w[k];
      m_[k] = m[k];
    }
    lanes_ = w[0]->lanes;
    limbs_ = w[0]->limbs;
    amm_ = radix52::kAmm[count - 1][lanes_ / 8 - 1];
    amm1_ = radix52::kAmm[0][lanes_ / 8 - 1];
  }
  size_t count() const { return count_; }
  size_t width() const { return lanes_; }
  void Mul(Limb* r, const Limb* a, const Limb* b) const {
    radix52::AmmJob jobs[radix52::kMaxCount];
    for (size_t k = 0; k < count_; ++k) {
      const size_t off = k * lanes_;
      jobs[k] = {r + off, a + off, b + off, w_[k]->m.data(), w_[k]->k0};
    }
    amm_(jobs, limbs_);
  }
  void Sqr(Limb* r, const Limb* a) const { Mul(r, a, a); }
  void To(size_t k, const BigNumber& a, Limb* out) const { To(k, a.limbs().data(), a.limbs().size(), out); }
  void To(size_t k, const Limb* a, Limb* out) const { To(k, a, m_[k]->limbs().size(), out); }
  void To(size_t k, const Limb* a, size_t an, Limb* out) const {
    uint64_t x[radix52::kMaxLanes];
    radix52::Split(a, an, x, lanes_);
    const radix52::AmmJob job = {out, x, w_[k]->rr.data(), w_[k]->m.data(), w_[k]->k0};
    amm1_(&job, limbs_);
  }
  void From(size_t k, const Limb* a, BigNumber& out) const {
    Limb v[MontgomeryContext::kMaxLimbs];
    From(k, a, v);
    out.SetLimbs(v, m_[k]->limbs().size(), 1);
  }
  // The product by 1 is at most m, and m itself only for zero: one masked subtraction.
  void From(size_t k, const Limb* a, Limb* v) const {
    uint64_t one[radix52::kMaxLanes] = {1};
    uint64_t x[radix52::kMaxLanes];
    const radix52::AmmJob job = {x, a, one, w_[k]->m.data(), w_[k]->k0};
    amm1_(&job, limbs_);
    const LimbVector& m = m_[k]->limbs();
    const size_t n = m.size();
    Limb d[MontgomeryContext::kMaxLimbs];
    radix52::Join(x, limbs_, v, n);
    const Limb borrow = limb::SubN(d, v, m.data(), n);
    limb::Select(v, d, n, limb::IsZeroMask(borrow));
  }
  void Pick(Limb* dst, const Limb* table, size_t entries, const unsigned* idx) const {
    radix52::kPick(dst, table, entries, lanes_, count_, idx);
  }

 private:
  const MontRadix52* w_[radix52::kMaxCount] = {};
  const BigNumber* m_[radix52::kMaxCount] = {};
  size_t count_ = 0, lanes_ = 0, limbs_ = 0;
  radix52::AmmFn amm_ = nullptr, amm1_ = nullptr;
};

// b[k]^e[k] for each residue of the ops, all walked with one window. A secret walk covers
// walk_bits bits (more when an exponent is longer) and reads the whole table at every window;
// a public walk has one residue.
template <class Ops>
void WindowExp(const Ops& ops, const Limb* const* b, const BigNumber* const* e, bool secret, int walk_bits,
               int max_secret_window, Limb* const* out) {
  const size_t count = ops.count(), width = ops.width(), n = count * width;
  // A secret walk's length follows walk_bits, not the exponent's value; only whether some
  // exponent reaches past walk_bits (which its callers rule out) is let out.
  int ebits = 0;
  if (secret) {
    Limb above = 0;
    int span = walk_bits;
    for (size_t k = 0; k < count; ++k) {
      const LimbVector& l = e[k]->limbs();
      for (size_t i = 0; i < l.size(); ++i) {
        const int lo = 64 * static_cast<int>(i);
        if (lo + 64 > walk_bits) above |= walk_bits <= lo ? l[i] : l[i] >> (walk_bits - lo);
      }
      span = 64 * static_cast<int>(l.size()) > span ? 64 * static_cast<int>(l.size()) : span;
    }
    bool longer = above != 0;
    ct::Declassify(&longer, sizeof longer);
    ebits = longer ? span : walk_bits;
  } else {
    for (size_t k = 0; k < count; ++k) ebits = e[k]->BitLength() > ebits ? e[k]->BitLength() : ebits;
  }
  const bool f4 = !secret && ebits == 17 && e[0]->limbs()[0] == 0x10001;
  int w = f4 ? 1 : WindowFor(ebits);
  // A secret walk reads the whole table at every window: past some size that costs more than
  // the multiplications it saves.
  if (secret && w > max_secret_window) w = max_secret_window;
  const size_t entries = static_cast<size_t>(1) << w;
  LimbVector table(n * entries), acc(n), pick(n);
  const Limb one[MontgomeryContext::kMaxLimbs] = {1};
  for (size_t k = 0; k < count; ++k) {
    ops.To(k, one, table.data() + k * width);
    ops.To(k, b[k], table.data() + n + k * width);
  }
  for (size_t i = 2; i < entries; ++i) ops.Mul(table.data() + i * n, table.data() + (i - 1) * n, table.data() + n);

  const int bits = ebits;
  const int windows = (bits + w - 1) / w;
  unsigned idx[radix52::kMaxCount] = {};
  for (int win = windows - 1; win >= 0; --win) {
    if (win != windows - 1) {
      for (int s = 0; s < w; ++s) ops.Sqr(acc.data(), acc.data());
    }
    for (size_t k = 0; k < count; ++k) idx[k] = ExponentBits(e[k]->limbs(), win * w, w);
    if (secret) {
      ops.Pick(pick.data(), table.data(), entries, idx);
    } else {
      std::memcpy(pick.data(), table.data() + idx[0] * n, n * sizeof(Limb));
    }
    if (win == windows - 1) {
      acc = pick;
    } else if (secret || idx[0] != 0) {
      ops.Mul(acc.data(), acc.data(), pick.data());
    }
  }
  for (size_t k = 0; k < count; ++k) ops.From(k, acc.data() + k * width, out[k]);
}

// Sliding-window digits of e: digit[i] is the odd window value whose lowest bit is i, else 0.
std::vector<uint8_t> SlidingDigits(const BigNumber& e, int w) {
  const int bits = e.BitLength();
  std::vector<uint8_t> digit(static_cast<size_t>(bits), 0);
  for (int i = bits - 1; i >= 0;) {
    if (!e.TestBit(i)) {
      --i;
      continue;
    }
    int lo = i - w + 1 < 0 ? 0 : i - w + 1;
    while (!e.TestBit(lo)) ++lo;
    unsigned v = 0;
    for (int k = i; k >= lo; --k) v = (v << 1) | (e.TestBit(k) ? 1u : 0u);
    digit[static_cast<size_t>(lo)] = static_cast<uint8_t>(v);
    i = lo - 1;
  }
  return digit;
}

// b1^e1 * b2^e2 over one residue: one chain of squarings, each base multiplied in from its own
// table of odd powers.
template <class Ops>
void JointExp(const Ops& ops, const BigNumber& b1, const BigNumber& e1, const BigNumber& b2, const BigNumber& e2,
              BigNumber& out) {
  const size_t n = ops.width();
  const int top = e1.BitLength() > e2.BitLength() ? e1.BitLength() : e2.BitLength();
  const int w = top < 64 ? 3 : top < 768 ? 4 : 5;
  const size_t half = static_cast<size_t>(1) << (w - 1);
  const BigNumber* bases[2] = {&b1, &b2};
  const std::vector<uint8_t> digits[2] = {SlidingDigits(e1, w), SlidingDigits(e2, w)};
  LimbVector table(2 * half * n), acc(n), sq(n);
  for (size_t t = 0; t < 2; ++t) {
    Limb* odd = table.data() + t * half * n;
    ops.To(0, *bases[t], odd);
    ops.Sqr(sq.data(), odd);
    for (size_t i = 1; i < half; ++i) ops.Mul(odd + i * n, odd + (i - 1) * n, sq.data());
  }
  bool started = false;
  for (int i = top - 1; i >= 0; --i) {
    if (started) ops.Sqr(acc.data(), acc.data());
    for (size_t t = 0; t < 2; ++t) {
      const std::vector<uint8_t>& d = digits[t];
      if (static_cast<size_t>(i) >= d.size() || d[static_cast<size_t>(i)] == 0) continue;
      const Limb* entry = table.data() + (t * half + d[static_cast<size_t>(i)] / 2) * n;
      if (started) {
        ops.Mul(acc.data(), acc.data(), entry);
      } else {
        std::memcpy(acc.data(), entry, n * sizeof(Limb));
        started = true;
      }
    }
  }
  if (!started) ops.To(0, BigNumber::One(), acc.data());
  ops.From(0, acc.data(), out);
}

}  // namespace

int MontgomeryContext::Init(const BigNumber& m) {
  n_ = 0;
  if (m.sign() <= 0 || m.IsEven() || m.IsOne()) return kErrModulusNotPositive;
  if (m.limbs().size() > kMaxLimbs) return kErrInvalidArgument;
  m_ = m;
  // The modulus's length is no secret, even when the modulus is.
  bits_ = m.BitLength();
  ct::Declassify(&bits_, sizeof bits_);
  const size_t n = m.limbs().size();
  BigNumber r2;
  BigNumber::ShiftLeft(BigNumber::One(), static_cast<int>(128 * n), r2);
  BigNumber::Mod(r2, m, rr_);
  rrl_.assign(n, 0);
  std::copy(rr_.limbs().begin(), rr_.limbs().end(), rrl_.begin());
  m0inv_ = limb::NegInverse(m.limbs()[0]);
  n_ = n;
  mul_ = &MontMul<0>;
  sqr_ = &MontSqr<0>;
  for (const Kernel& k : kKernels) {
    if (k.n == n) {
      mul_ = k.mul;
      sqr_ = k.sqr;
    }
  }
#if defined(__x86_64__)
  if (n >= 4 && CpuHas(kCpuBmi2 | kCpuAdx)) {
    mul_ = &adx::MontMul;
    sqr_ = &adx::MontSqr;
    for (const Kernel& k : adx::kFixed) {
      if (k.n == n) {
        mul_ = k.mul;
        sqr_ = k.sqr;
      }
    }
  }
#endif
  r52_ = MontRadix52();
  const size_t limbs = (static_cast<size_t>(bits_) + 2 + 51) / 52;
  if (n >= radix52::kMinLimbs64 && limbs <= radix52::kMaxLanes && radix52::Available()) {
    const size_t groups = (limbs + 7) / 8;
    r52_.limbs = limbs;
    r52_.lanes = 8 * groups;
    r52_.k0 = m0inv_ & radix52::kMask52;
    r52_.m.assign(r52_.lanes, 0);
    radix52::Split(m.limbs().data(), n, r52_.m.data(), r52_.lanes);
    BigNumber rr;
    BigNumber::ShiftLeft(BigNumber::One(), static_cast<int>(104 * limbs), rr);
    BigNumber::Mod(rr, m, rr);
    r52_.rr.assign(r52_.lanes, 0);
    radix52::Split(rr.limbs().data(), rr.limbs().size(), r52_.rr.data(), r52_.lanes);
  }
  return kOk;
}

void MontgomeryContext::Mul(Limb* r, const Limb* a, const Limb* b) const {
  mul_(r, a, b, m_.limbs().data(), m0inv_, n_);
}

void MontgomeryContext::Sqr(Limb* r, const Limb* a) const { sqr_(r, a, m_.limbs().data(), m0inv_, n_); }

void MontgomeryContext::ToMont(const BigNumber& a, Limb* out) const {
  Limb x[kMaxLimbs] = {};
  const LimbVector& al = a.limbs();
  for (size_t i = 0; i < al.size() && i < n_; ++i) x[i] = al[i];
  Limb rr[kMaxLimbs] = {};
  const LimbVector& rl = rr_.limbs();
  for (size_t i = 0; i < rl.size(); ++i) rr[i] = rl[i];
  Mul(out, x, rr);
}

void MontgomeryContext::FromMont(const Limb* a, BigNumber& out) const {
  Limb one[kMaxLimbs] = {1};
  Limb r[kMaxLimbs];
  Mul(r, a, one);
  out.SetLimbs(r, n_, 1);
}

void MontgomeryContext::ToMontLimbs(const Limb* a, size_t an, Limb* out) const {
  Limb x[kMaxLimbs] = {};
  for (size_t i = 0; i < an && i < n_; ++i) x[i] = a[i];
  Mul(out, x, rrl_.data());
}

void MontgomeryContext::FromMontLimbs(const Limb* a, Limb* out) const {
  const Limb one[kMaxLimbs] = {1};
  Mul(out, a, one);
}

// Horner's rule by whole n-limb digits: acc = acc R + digit mod m, where acc R mod m is one
// product by R^2 and digit mod m the product by R^2 and then by 1 (every input below R).
void MontgomeryContext::Reduce(const Limb* a, size_t an, Limb* out) const {
  Limb digit[kMaxLimbs], t[kMaxLimbs];
  std::memset(out, 0, n_ * sizeof(Limb));
  for (size_t top = (an + n_ - 1) / n_; top-- > 0;) {
    std::memset(digit, 0, n_ * sizeof(Limb));
    for (size_t i = 0; i < n_ && top * n_ + i < an; ++i) digit[i] = a[top * n_ + i];
    ToMontLimbs(digit, n_, t);
    FromMontLimbs(t, digit);
    ToMontLimbs(out, n_, t);
    const Limb carry = limb::AddN(out, t, digit, n_);
    const Limb borrow = limb::SubN(t, out, m_.limbs().data(), n_);
    limb::Select(out, t, n_, static_cast<Limb>(0) - (carry | (borrow ^ 1)));
  }
}

void MontgomeryContext::ExpLimbs(const Limb* b, const BigNumber& e, bool secret, Limb* out, int exp_bits) const {
  if (e.limbs().empty()) {
    std::memset(out, 0, n_ * sizeof(Limb));
    out[0] = 1;
    return;
  }
  const Limb* bp[] = {b};
  const BigNumber* ep[] = {&e};
  Limb* op[] = {out};
  const int walk_bits = exp_bits > 0 ? exp_bits : bits_;
  // The radix 2^52 table read costs little next to a product, so a secret walk affords 32 entries.
  if (r52_.lanes) {
    const MontRadix52* w[] = {&r52_};
    const BigNumber* m[] = {&m_};
    WindowExp(Ops52(w, m, 1), bp, ep, secret, walk_bits, 5, op);
  } else {
    WindowExp(Ops64(*this), bp, ep, secret, walk_bits, 4, op);
  }
}

void MontgomeryContext::Exp(const BigNumber& b, const BigNumber& e, bool secret, BigNumber& out,
                            int exp_bits) const {
  Limb x[kMaxLimbs] = {}, r[kMaxLimbs];
  const LimbVector& bl = b.limbs();
  for (size_t i = 0; i < bl.size() && i < n_; ++i) x[i] = bl[i];
  ExpLimbs(x, e, secret, r, exp_bits);
  out.SetLimbs(r, n_, 1);
}

void MontgomeryContext::ExpPairLimbs(const MontgomeryContext& c1, const Limb* b1, const BigNumber& e1,
                                     const MontgomeryContext& c2, const Limb* b2, const BigNumber& e2, Limb* out1,
                                     Limb* out2) {
  const bool together = c1.r52_.lanes && c1.r52_.limbs == c2.r52_.limbs && c1.r52_.lanes == c2.r52_.lanes &&
                        !e1.limbs().empty() && !e2.limbs().empty();
  if (!together) {
    c1.ExpLimbs(b1, e1, true, out1);
    c2.ExpLimbs(b2, e2, true, out2);
    return;
  }
  const MontRadix52* w[] = {&c1.r52_, &c2.r52_};
  const BigNumber* m[] = {&c1.m_, &c2.m_};
  const Limb* bp[] = {b1, b2};
  const BigNumber* ep[] = {&e1, &e2};
  Limb* op[] = {out1, out2};
  const int walk_bits = c1.bits_ > c2.bits_ ? c1.bits_ : c2.bits_;
  WindowExp(Ops52(w, m, 2), bp, ep, true, walk_bits, 5, op);
}

void MontgomeryContext::ExpPair(const MontgomeryContext& c1, const BigNumber& b1, const BigNumber& e1,
                                const MontgomeryContext& c2, const BigNumber& b2, const BigNumber& e2,
                                BigNumber& out1, BigNumber& out2) {
  Limb x1[kMaxLimbs] = {}, x2[kMaxLimbs] = {}, r1[kMaxLimbs], r2[kMaxLimbs];
  for (size_t i = 0; i < b1.limbs().size() && i < c1.n_; ++i) x1[i] = b1.limbs()[i];
  for (size_t i = 0; i < b2.limbs().size() && i < c2.n_; ++i) x2[i] = b2.limbs()[i];
  ExpPairLimbs(c1, x1, e1, c2, x2, e2, r1, r2);
  out1.SetLimbs(r1, c1.n_, 1);
  out2.SetLimbs(r2, c2.n_, 1);
}

void MontgomeryContext::Exp2(const BigNumber& b1, const BigNumber& e1, const BigNumber& b2, const BigNumber& e2,
                             BigNumber& out) const {
  if (r52_.lanes) {
    const MontRadix52* w[] = {&r52_};
    const BigNumber* m[] = {&m_};
    JointExp(Ops52(w, m, 1), b1, e1, b2, e2, out);
  } else {
    JointExp(Ops64(*this), b1, e1, b2, e2, out);
  }
}

}  // namespace tw
