#include "crypto/pubkey/curve448.h"

#include <string.h>

#include "crypto/pubkey/constant_time.h"

namespace tw {
namespace {

using u128 = unsigned __int128;

constexpr uint64_t kMask56 = (uint64_t{1} << 56) - 1;

// 4p limb by limb, added before a subtraction so that no limb can go below zero for operands
// with limbs under 2^58.
constexpr uint64_t kFourP = (uint64_t{1} << 58) - 4;
constexpr uint64_t kFourP4 = (uint64_t{1} << 58) - 8;

constexpr uint32_t kA24 = 39081;

// The limb loops of the hot paths carry unroll pragmas: left rolled, they cost X448 a fifth of its
// speed at the optimisation level the builds use.

// One carry pass over 64-bit limbs; the carry out of limb 7 is folded into limbs 0 and 4.
inline void CarryPass(uint64_t t[8]) {
#pragma GCC unroll 7
  for (int i = 0; i < 7; ++i) {
    t[i + 1] += t[i] >> 56;
    t[i] &= kMask56;
  }
  const uint64_t top = t[7] >> 56;
  t[7] &= kMask56;
  t[0] += top;
  t[4] += top;
}

// Column sums of a product (c[0..10]) folded with 2^448 = 2^224 + 1 and carried to limbs of 56
// bits (limbs 1 and 5 may keep a few bits more).
inline void Reduce(Fe448* h, u128 c[11]) {
  for (int k = 10; k >= 8; --k) {
    c[k - 4] += c[k];
    c[k - 8] += c[k];
  }
#pragma GCC unroll 8
  for (int i = 0; i < 7; ++i) {
    c[i + 1] += c[i] >> 56;
    c[i] &= kMask56;
  }
  const u128 top = c[7] >> 56;
  c[7] &= kMask56;
  c[0] += top;
  c[4] += top;
  c[1] += c[0] >> 56;
  c[0] &= kMask56;
  c[5] += c[4] >> 56;
  c[4] &= kMask56;
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) h->v[i] = static_cast<uint64_t>(c[i]);
}

// Karatsuba over the halves, with phi = 2^224 and phi^2 = phi + 1 mod p:
// (a + b phi)(c + d phi) = (ac + bd) + ((a + b)(c + d) - ac) phi. lo, hi and mid are the column
// sums of ac, bd and (a + b)(c + d); mid is at least lo column by column.
inline void Combine(Fe448* h, const u128 lo[7], const u128 hi[7], const u128 mid[7]) {
  u128 c[11] = {};
#pragma GCC unroll 7
  for (int k = 0; k < 7; ++k) {
    c[k] += lo[k] + hi[k];
    c[k + 4] += mid[k] - lo[k];
  }
  Reduce(h, c);
}

inline void HalfMul(u128 out[7], const uint64_t* x, const uint64_t* y) {
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) out[i + j] += static_cast<u128>(x[i]) * y[j];
  }
}

inline void HalfSq(u128 out[7], const uint64_t* x) {
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    out[2 * i] += static_cast<u128>(x[i]) * x[i];
    const uint64_t twice = 2 * x[i];
#pragma GCC unroll 3
    for (int j = i + 1; j < 4; ++j) out[i + j] += static_cast<u128>(twice) * x[j];
  }
}

void SqTimes(Fe448* h, const Fe448& f, int n) {
  Fe448Sq(h, f);
  for (int i = 1; i < n; ++i) Fe448Sq(h, *h);
}

// t + 2^224 + 1 carried through: its carry out of bit 448 is 1 exactly when t, given with limbs
// under 2^56, is at least p. The low 448 bits are then t - p.
inline uint64_t AddTwoTo448MinusP(uint64_t s[8], const uint64_t t[8]) {
  for (int i = 0; i < 8; ++i) s[i] = t[i];
  s[0] += 1;
  s[4] += 1;
  for (int i = 0; i < 7; ++i) {
    s[i + 1] += s[i] >> 56;
    s[i] &= kMask56;
  }
  const uint64_t carry = s[7] >> 56;
  s[7] &= kMask56;
  return carry;
}

}  // namespace

void Fe448Zero(Fe448* h) { memset(h, 0, sizeof *h); }

void Fe448One(Fe448* h) {
  Fe448Zero(h);
  h->v[0] = 1;
}

void Fe448Copy(Fe448* h, const Fe448& f) { *h = f; }

void Fe448Add(Fe448* h, const Fe448& f, const Fe448& g) {
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) h->v[i] = f.v[i] + g.v[i];
}

void Fe448Sub(Fe448* h, const Fe448& f, const Fe448& g) {
  uint64_t t[8];
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) t[i] = f.v[i] + (i == 4 ? kFourP4 : kFourP) - g.v[i];
  CarryPass(t);
  memcpy(h->v, t, sizeof t);
}

void Fe448Neg(Fe448* h, const Fe448& f) {
  Fe448 zero;
  Fe448Zero(&zero);
  Fe448Sub(h, zero, f);
}

void Fe448AddWord(Fe448* h, const Fe448& f, uint32_t w) {
  *h = f;
  h->v[0] += w;
}

void Fe448SubWord(Fe448* h, const Fe448& f, uint32_t w) {
  Fe448 g;
  Fe448Zero(&g);
  g.v[0] = w;
  Fe448Sub(h, f, g);
}

void Fe448Bias(Fe448* h, uint32_t k) {
  for (int i = 0; i < 8; ++i) h->v[i] += k * (i == 4 ? kMask56 - 1 : kMask56);
}

void Fe448Mul(Fe448* h, const Fe448& f, const Fe448& g) {
  uint64_t fs[4], gs[4];
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    fs[k] = f.v[k] + f.v[k + 4];
    gs[k] = g.v[k] + g.v[k + 4];
  }
  u128 lo[7] = {}, hi[7] = {}, mid[7] = {};
  HalfMul(lo, f.v, g.v);
  HalfMul(hi, f.v + 4, g.v + 4);
  HalfMul(mid, fs, gs);
  Combine(h, lo, hi, mid);
}

void Fe448Sq(Fe448* h, const Fe448& f) {
  uint64_t fs[4];
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) fs[k] = f.v[k] + f.v[k + 4];
  u128 lo[7] = {}, hi[7] = {}, mid[7] = {};
  HalfSq(lo, f.v);
  HalfSq(hi, f.v + 4);
  HalfSq(mid, fs);
  Combine(h, lo, hi, mid);
}

void Fe448MulWord(Fe448* h, const Fe448& f, uint32_t w) {
  u128 c[11] = {};
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) c[i] = static_cast<u128>(f.v[i]) * w;
  Reduce(h, c);
}

void Fe448WeakReduce(Fe448* h) { CarryPass(h->v); }

void Fe448StrongReduce(Fe448* h) {
  // Three passes: the first may fold a large carry, the second at most a one, the third none,
  // leaving every limb under 2^56 and the value under 2^448 (< 2p).
  for (int pass = 0; pass < 3; ++pass) CarryPass(h->v);
  uint64_t s[8];
  const uint64_t mask = 0 - AddTwoTo448MinusP(s, h->v);
  for (int i = 0; i < 8; ++i) h->v[i] ^= mask & (h->v[i] ^ s[i]);
}

namespace {

// f^((p-3)/4): (p-3)/4 is 223 ones, a zero and 222 ones, from the top bit down.
void PowP34(Fe448* h, const Fe448& f) {
  Fe448 x2, x3, x6, x12, x24, x48, x96, t, x222, x223;
  Fe448Sq(&t, f);
  Fe448Mul(&x2, t, f);
  Fe448Sq(&t, x2);
  Fe448Mul(&x3, t, f);
  SqTimes(&t, x3, 3);
  Fe448Mul(&x6, t, x3);
  SqTimes(&t, x6, 6);
  Fe448Mul(&x12, t, x6);
  SqTimes(&t, x12, 12);
  Fe448Mul(&x24, t, x12);
  SqTimes(&t, x24, 24);
  Fe448Mul(&x48, t, x24);
  SqTimes(&t, x48, 48);
  Fe448Mul(&x96, t, x48);
  SqTimes(&t, x96, 96);
  Fe448Mul(&t, t, x96);      // 2^192 - 1
  SqTimes(&t, t, 24);
  Fe448Mul(&t, t, x24);      // 2^216 - 1
  SqTimes(&t, t, 6);
  Fe448Mul(&x222, t, x6);
  Fe448Sq(&t, x222);
  Fe448Mul(&x223, t, f);
  SqTimes(&t, x223, 223);
  Fe448Mul(h, t, x222);
}

}  // namespace

void Fe448Invert(Fe448* h, const Fe448& f) {
  // p - 2 = 4 (p-3)/4 + 1.
  Fe448 t;
  PowP34(&t, f);
  SqTimes(&t, t, 2);
  Fe448Mul(h, t, f);
}

int Fe448InverseSqrt(Fe448* h, const Fe448& f) {
  Fe448 t;
  PowP34(h, f);
  Fe448Sq(&t, *h);
  Fe448Mul(&t, t, f);
  Fe448SubWord(&t, t, 1);
  return Fe448IsZero(t);
}

int Fe448BatchInvert(Fe448* out, const Fe448* in, int n) {
  if (n <= 0) return kOk;
  // Prefix products, one inversion, then back down peeling one factor at a time.
  out[0] = in[0];
  for (int i = 1; i < n; ++i) Fe448Mul(&out[i], out[i - 1], in[i]);
  const int invertible = !Fe448IsZero(out[n - 1]);
  Fe448 inv;
  Fe448Invert(&inv, out[n - 1]);
  for (int i = n - 1; i > 0; --i) {
    Fe448Mul(&out[i], inv, out[i - 1]);
    Fe448Mul(&inv, inv, in[i]);
  }
  out[0] = inv;
  return invertible ? kOk : kErrCurveRange;
}

void Fe448CSwap(Fe448* f, Fe448* g, unsigned b) {
  const uint64_t mask = 0 - static_cast<uint64_t>(b & 1);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    const uint64_t x = mask & (f->v[i] ^ g->v[i]);
    f->v[i] ^= x;
    g->v[i] ^= x;
  }
}

void Fe448CNeg(Fe448* f, unsigned b) {
  Fe448 n;
  Fe448Neg(&n, *f);
  const uint64_t mask = 0 - static_cast<uint64_t>(b & 1);
  for (int i = 0; i < 8; ++i) f->v[i] ^= mask & (f->v[i] ^ n.v[i]);
}

int Fe448IsNegative(const Fe448& f) {
  Fe448 t = f;
  Fe448StrongReduce(&t);
  return static_cast<int>(t.v[0] & 1);
}

int Fe448IsZero(const Fe448& f) {
  uint8_t s[kX448Bytes];
  Fe448Encode(s, sizeof s, f);
  return CurveBytesAllZero(s, sizeof s) ? 1 : 0;
}

int Fe448Decode(Fe448* h, const uint8_t* s, int length) {
  Fe448Zero(h);
  if (!s || length < kX448Bytes) return 0;
  for (int i = 0; i < 8; ++i) {
    uint64_t limb = 0;
    for (int j = 6; j >= 0; --j) limb = (limb << 8) | s[7 * i + j];
    h->v[i] = limb;
  }
  uint64_t t[8];
  return AddTwoTo448MinusP(t, h->v) == 0 ? 1 : 0;
}

int Fe448Encode(uint8_t* s, int length, const Fe448& f) {
  if (!s || length < kX448Bytes) return kErrCurveLength;
  Fe448 t = f;
  Fe448StrongReduce(&t);
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 7; ++j) s[7 * i + j] = static_cast<uint8_t>(t.v[i] >> (8 * j));
  }
  return kOk;
}

int X448ScalarMult(const uint8_t* scalar, int scalarLength, const uint8_t* u, int uLength, uint8_t* out,
                   int outLength) {
  if (!scalar || !u || !out || scalarLength != kX448Bytes || uLength != kX448Bytes ||
      outLength != kX448Bytes) {
    return kErrCurveLength;
  }
  uint8_t e[kX448Bytes];
  memcpy(e, scalar, sizeof e);
  e[0] &= 252;
  e[55] |= 128;
  struct {
    Fe448 x1, x2, z2, x3, z3, a, b, c, d, da, cb, aa, bb, ee;
  } st;  // one block, so that all of it is wiped at the end
  auto& [x1, x2, z2, x3, z3, a, b, c, d, da, cb, aa, bb, ee] = st;
  Fe448Decode(&x1, u, uLength);  // a value at or above p works as its residue
  Fe448One(&x2);
  Fe448Zero(&z2);
  x3 = x1;
  Fe448One(&z3);
  // A fixed 448 steps whatever the scalar; the swaps are masks driven by successive bits.
  unsigned swap = 0;
  for (int pos = 447; pos >= 0; --pos) {
    const unsigned bit = (e[pos >> 3] >> (pos & 7)) & 1;
    swap ^= bit;
    Fe448CSwap(&x2, &x3, swap);
    Fe448CSwap(&z2, &z3, swap);
    swap = bit;
    Fe448Add(&a, x2, z2);
    Fe448Sub(&b, x2, z2);
    Fe448Add(&c, x3, z3);
    Fe448Sub(&d, x3, z3);
    Fe448Mul(&da, d, a);
    Fe448Mul(&cb, c, b);
    Fe448Add(&x3, da, cb);
    Fe448Sq(&x3, x3);
    Fe448Sub(&z3, da, cb);
    Fe448Sq(&z3, z3);
    Fe448Mul(&z3, z3, x1);
    Fe448Sq(&aa, a);
    Fe448Sq(&bb, b);
    Fe448Mul(&x2, aa, bb);
    Fe448Sub(&ee, aa, bb);
    Fe448MulWord(&z2, ee, kA24);
    Fe448Add(&z2, z2, aa);
    Fe448Mul(&z2, z2, ee);
  }
  Fe448CSwap(&x2, &x3, swap);
  Fe448CSwap(&z2, &z3, swap);
  Fe448Invert(&z2, z2);
  Fe448Mul(&x2, x2, z2);
  Fe448Encode(out, outLength, x2);
  explicit_bzero(e, sizeof e);
  explicit_bzero(&st, sizeof st);
  const bool zero = CurveBytesAllZero(out, outLength);
  ct::Declassify(&zero, sizeof zero);
  return zero ? kErrCurveZeroResult : kOk;
}

int X448(const uint8_t* scalar, int scalarLength, const uint8_t* u, int uLength, uint8_t* out, int outLength) {
  return X448ScalarMult(scalar, scalarLength, u, uLength, out, outLength);
}

}  // namespace tw
