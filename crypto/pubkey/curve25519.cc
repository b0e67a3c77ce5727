#include "crypto/pubkey/curve25519.h"

#include <string.h>

#include "crypto/pubkey/constant_time.h"
#include "crypto/pubkey/edwards25519.h"

namespace tw {
namespace {

using u128 = unsigned __int128;

constexpr uint64_t kMask51 = (uint64_t{1} << 51) - 1;

// 4p limb by limb: added before a subtraction so that no limb goes below zero for a subtrahend
// with limbs under 2^53 (a product, or a sum of two products).
constexpr uint64_t kFourP0 = 0x1FFFFFFFFFFFB4;
constexpr uint64_t kFourPn = 0x1FFFFFFFFFFFFC;

uint64_t Load64(const uint8_t* s) {
  uint64_t r = 0;
  for (int i = 7; i >= 0; --i) r = (r << 8) | s[i];
  return r;
}

void Store64(uint8_t* s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Brings five 128-bit column sums back to limbs of 51 bits (limb 1 may keep a few bits more);
// the carry out of limb 4 re-enters limb 0 times 19 since 2^255 = 19.
inline void Carry(Fe25519* h, u128 t0, u128 t1, u128 t2, u128 t3, u128 t4) {
  t1 += static_cast<uint64_t>(t0 >> 51);
  uint64_t r0 = static_cast<uint64_t>(t0) & kMask51;
  t2 += static_cast<uint64_t>(t1 >> 51);
  const uint64_t r1 = static_cast<uint64_t>(t1) & kMask51;
  t3 += static_cast<uint64_t>(t2 >> 51);
  const uint64_t r2 = static_cast<uint64_t>(t2) & kMask51;
  t4 += static_cast<uint64_t>(t3 >> 51);
  const uint64_t r3 = static_cast<uint64_t>(t3) & kMask51;
  r0 += static_cast<uint64_t>(t4 >> 51) * 19;
  const uint64_t r4 = static_cast<uint64_t>(t4) & kMask51;
  h->v[0] = r0 & kMask51;
  h->v[1] = r1 + (r0 >> 51);
  h->v[2] = r2;
  h->v[3] = r3;
  h->v[4] = r4;
}

// Schoolbook products; columns of weight 2^255 and above come back times 19. Limbs up to 2^54
// keep every sum inside 128 bits and the carry out of limb 4 (times 19) inside 64.
inline void Mul(Fe25519* h, const Fe25519& f, const Fe25519& g) {
  const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const uint64_t g0 = g.v[0], g1 = g.v[1], g2 = g.v[2], g3 = g.v[3], g4 = g.v[4];
  const uint64_t g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4;
  const u128 t0 = (u128)f0 * g0 + (u128)f1 * g4_19 + (u128)f2 * g3_19 + (u128)f3 * g2_19 + (u128)f4 * g1_19;
  const u128 t1 = (u128)f0 * g1 + (u128)f1 * g0 + (u128)f2 * g4_19 + (u128)f3 * g3_19 + (u128)f4 * g2_19;
  const u128 t2 = (u128)f0 * g2 + (u128)f1 * g1 + (u128)f2 * g0 + (u128)f3 * g4_19 + (u128)f4 * g3_19;
  const u128 t3 = (u128)f0 * g3 + (u128)f1 * g2 + (u128)f2 * g1 + (u128)f3 * g0 + (u128)f4 * g4_19;
  const u128 t4 = (u128)f0 * g4 + (u128)f1 * g3 + (u128)f2 * g2 + (u128)f3 * g1 + (u128)f4 * g0;
  Carry(h, t0, t1, t2, t3, t4);
}

inline void Sq(Fe25519* h, const Fe25519& f) {
  const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const uint64_t d0 = 2 * f0, d1 = 2 * f1, d3 = 2 * f3;
  const uint64_t f3_19 = 19 * f3, f4_19 = 19 * f4;
  const u128 t0 = (u128)f0 * f0 + (u128)d1 * f4_19 + (u128)(2 * f2) * f3_19;
  const u128 t1 = (u128)d0 * f1 + (u128)(2 * f2) * f4_19 + (u128)f3 * f3_19;
  const u128 t2 = (u128)d0 * f2 + (u128)f1 * f1 + (u128)d3 * f4_19;
  const u128 t3 = (u128)d0 * f3 + (u128)d1 * f2 + (u128)f4 * f4_19;
  const u128 t4 = (u128)d0 * f4 + (u128)d1 * f3 + (u128)f2 * f2;
  Carry(h, t0, t1, t2, t3, t4);
}

void SqTimes(Fe25519* h, const Fe25519& f, int n) {
  Sq(h, f);
  for (int i = 1; i < n; ++i) Sq(h, *h);
}

// z^(2^250 - 1) and z^11, the common start of the inversion and the square-root power.
void Pow2250(Fe25519* z2501, Fe25519* z11, const Fe25519& z) {
  Fe25519 t0, t1, t2;
  Fe25519Sq(&t0, z);           // z^2
  SqTimes(&t1, t0, 2);         // z^8
  Fe25519Mul(&t1, t1, z);      // z^9
  Fe25519Mul(z11, t1, t0);     // z^11
  Fe25519Sq(&t0, *z11);        // z^22
  Fe25519Mul(&t0, t0, t1);     // z^(2^5 - 1)
  SqTimes(&t1, t0, 5);
  Fe25519Mul(&t0, t1, t0);     // z^(2^10 - 1)
  SqTimes(&t1, t0, 10);
  Fe25519Mul(&t1, t1, t0);     // z^(2^20 - 1)
  SqTimes(&t2, t1, 20);
  Fe25519Mul(&t1, t2, t1);     // z^(2^40 - 1)
  SqTimes(&t1, t1, 10);
  Fe25519Mul(&t0, t1, t0);     // z^(2^50 - 1)
  SqTimes(&t1, t0, 50);
  Fe25519Mul(&t1, t1, t0);     // z^(2^100 - 1)
  SqTimes(&t2, t1, 100);
  Fe25519Mul(&t1, t2, t1);     // z^(2^200 - 1)
  SqTimes(&t1, t1, 50);
  Fe25519Mul(z2501, t1, t0);   // z^(2^250 - 1)
}

// f - g without a carry, for the ladder: g's limbs stay under 2^53 there (products and sums of
// two products), so the result's stay under 2^54, which the multiplication still takes.
inline void SubLoose(Fe25519* h, const Fe25519& f, const Fe25519& g) {
  h->v[0] = f.v[0] + kFourP0 - g.v[0];
  for (int i = 1; i < 5; ++i) h->v[i] = f.v[i] + kFourPn - g.v[i];
}

void ClampScalar(uint8_t e[32], const uint8_t* scalar) {
  memcpy(e, scalar, 32);
  e[0] &= 248;
  e[31] &= 63;
  e[31] |= 64;
}

}  // namespace

int Fe25519FromBytes(Fe25519* h, const uint8_t* s, int length) {
  if (!s || length < kX25519Bytes) return kErrCurveLength;
  const uint64_t w0 = Load64(s), w1 = Load64(s + 8), w2 = Load64(s + 16), w3 = Load64(s + 24);
  h->v[0] = w0 & kMask51;
  h->v[1] = ((w0 >> 51) | (w1 << 13)) & kMask51;
  h->v[2] = ((w1 >> 38) | (w2 << 26)) & kMask51;
  h->v[3] = ((w2 >> 25) | (w3 << 39)) & kMask51;
  h->v[4] = (w3 >> 12) & kMask51;  // bit 255 dropped
  return kOk;
}

int Fe25519ToBytes(uint8_t* s, int length, const Fe25519& f) {
  if (!s || length < kX25519Bytes) return kErrCurveLength;
  uint64_t t[5] = {f.v[0], f.v[1], f.v[2], f.v[3], f.v[4]};
  // Two carry passes leave a value below 2^255 + 19 with limb 0 the only one that may pass 51
  // bits; then q = 1 exactly when the value is at least p, and adding 19 q and dropping bit 255
  // subtracts p without a branch.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 4; ++i) {
      t[i + 1] += t[i] >> 51;
      t[i] &= kMask51;
    }
    t[0] += 19 * (t[4] >> 51);
    t[4] &= kMask51;
  }
  uint64_t q = (t[0] + 19) >> 51;
  for (int i = 1; i < 5; ++i) q = (t[i] + q) >> 51;
  t[0] += 19 * q;
  for (int i = 0; i < 4; ++i) {
    t[i + 1] += t[i] >> 51;
    t[i] &= kMask51;
  }
  t[4] &= kMask51;
  Store64(s, t[0] | (t[1] << 51));
  Store64(s + 8, (t[1] >> 13) | (t[2] << 38));
  Store64(s + 16, (t[2] >> 26) | (t[3] << 25));
  Store64(s + 24, (t[3] >> 39) | (t[4] << 12));
  return kOk;
}

void Fe25519Zero(Fe25519* h) { *h = Fe25519{{0, 0, 0, 0, 0}}; }

void Fe25519One(Fe25519* h) { *h = Fe25519{{1, 0, 0, 0, 0}}; }

void Fe25519Copy(Fe25519* h, const Fe25519& f) { *h = f; }

void Fe25519Add(Fe25519* h, const Fe25519& f, const Fe25519& g) {
  for (int i = 0; i < 5; ++i) h->v[i] = f.v[i] + g.v[i];
}

void Fe25519Sub(Fe25519* h, const Fe25519& f, const Fe25519& g) {
  // Carried, so that differences may be chained and negated freely.
  SubLoose(h, f, g);
  Carry(h, h->v[0], h->v[1], h->v[2], h->v[3], h->v[4]);
}

void Fe25519Neg(Fe25519* h, const Fe25519& f) {
  Fe25519 zero;
  Fe25519Zero(&zero);
  Fe25519Sub(h, zero, f);
}

void Fe25519Mul(Fe25519* h, const Fe25519& f, const Fe25519& g) { Mul(h, f, g); }

void Fe25519Sq(Fe25519* h, const Fe25519& f) { Sq(h, f); }

void Fe25519Sq2(Fe25519* h, const Fe25519& f) {
  Fe25519Sq(h, f);
  Fe25519Add(h, *h, *h);
}

void Fe25519Mul121666(Fe25519* h, const Fe25519& f) {
  Carry(h, (u128)f.v[0] * 121666, (u128)f.v[1] * 121666, (u128)f.v[2] * 121666, (u128)f.v[3] * 121666,
        (u128)f.v[4] * 121666);
}

void Fe25519Invert(Fe25519* h, const Fe25519& z) {
  Fe25519 t, z11;
  Pow2250(&t, &z11, z);
  SqTimes(&t, t, 5);       // z^(2^255 - 32)
  Fe25519Mul(h, t, z11);   // z^(2^255 - 21) = z^(p - 2)
}

void Fe25519Pow22523(Fe25519* h, const Fe25519& z) {
  Fe25519 t, z11;
  Pow2250(&t, &z11, z);
  SqTimes(&t, t, 2);       // z^(2^252 - 4)
  Fe25519Mul(h, t, z);     // z^(2^252 - 3)
}

void Fe25519CSwap(Fe25519* f, Fe25519* g, unsigned b) {
  const uint64_t mask = 0 - static_cast<uint64_t>(b & 1);
  for (int i = 0; i < 5; ++i) {
    const uint64_t x = mask & (f->v[i] ^ g->v[i]);
    f->v[i] ^= x;
    g->v[i] ^= x;
  }
}

void Fe25519CMove(Fe25519* f, const Fe25519& g, unsigned b) {
  const uint64_t mask = 0 - static_cast<uint64_t>(b & 1);
  for (int i = 0; i < 5; ++i) f->v[i] ^= mask & (f->v[i] ^ g.v[i]);
}

int Fe25519IsNegative(const Fe25519& f) {
  uint8_t s[32];
  Fe25519ToBytes(s, sizeof s, f);
  return s[0] & 1;
}

int Fe25519IsNonzero(const Fe25519& f) {
  uint8_t s[32];
  Fe25519ToBytes(s, sizeof s, f);
  return CurveBytesAllZero(s, sizeof s) ? 0 : 1;
}

bool CurveBytesAllZero(const uint8_t* p, int n) {
  uint32_t acc = 0;
  for (int i = 0; i < n; ++i) {
    acc |= p[i];
    __asm__ volatile("" : "+r"(acc));
  }
  return acc == 0;
}

int X25519ScalarMult(const uint8_t* scalar, int scalarLength, const uint8_t* u, int uLength, uint8_t* out,
                     int outLength) {
  if (!scalar || !u || !out || scalarLength != kX25519Bytes || uLength != kX25519Bytes ||
      outLength != kX25519Bytes) {
    return kErrCurveLength;
  }
  uint8_t e[32];
  ClampScalar(e, scalar);
  struct {
    Fe25519 x1, x2, z2, x3, z3, a, b, c, d, da, cb, aa, bb, ee;
  } st;  // one block, so that all of it is wiped at the end
  auto& [x1, x2, z2, x3, z3, a, b, c, d, da, cb, aa, bb, ee] = st;
  Fe25519FromBytes(&x1, u, uLength);
  Fe25519One(&x2);
  Fe25519Zero(&z2);
  x3 = x1;
  Fe25519One(&z3);
  // A fixed 255 steps whatever the scalar; the swaps are masks driven by successive bits.
  unsigned swap = 0;
  for (int pos = 254; pos >= 0; --pos) {
    const unsigned bit = (e[pos >> 3] >> (pos & 7)) & 1;
    swap ^= bit;
    Fe25519CSwap(&x2, &x3, swap);
    Fe25519CSwap(&z2, &z3, swap);
    swap = bit;
    Fe25519Add(&a, x2, z2);
    SubLoose(&b, x2, z2);
    Fe25519Add(&c, x3, z3);
    SubLoose(&d, x3, z3);
    Mul(&da, d, a);
    Mul(&cb, c, b);
    Fe25519Add(&x3, da, cb);
    Sq(&x3, x3);
    SubLoose(&z3, da, cb);
    Sq(&z3, z3);
    Mul(&z3, z3, x1);
    Sq(&aa, a);
    Sq(&bb, b);
    Mul(&x2, aa, bb);
    SubLoose(&ee, aa, bb);
    Fe25519Mul121666(&z2, ee);
    Fe25519Add(&z2, z2, bb);
    Mul(&z2, z2, ee);
  }
  Fe25519CSwap(&x2, &x3, swap);
  Fe25519CSwap(&z2, &z3, swap);
  Fe25519Invert(&z2, z2);
  Mul(&x2, x2, z2);
  Fe25519ToBytes(out, outLength, x2);
  explicit_bzero(e, sizeof e);
  explicit_bzero(&st, sizeof st);
  const bool zero = CurveBytesAllZero(out, outLength);
  ct::Declassify(&zero, sizeof zero);
  return zero ? kErrCurveZeroResult : kOk;
}

int X25519(const uint8_t* scalar, int scalarLength, const uint8_t* u, int uLength, uint8_t* out, int outLength) {
  if (!scalar || !u || !out || scalarLength != kX25519Bytes || uLength != kX25519Bytes ||
      outLength != kX25519Bytes) {
    return kErrCurveLength;
  }
  // The base point 9 (a public value) takes the fixed-base table on the Edwards curve, several
  // times faster than the ladder; the birational map gives u = (Z + Y) / (Z - Y).
  if (u[0] != 9 || !CurveBytesAllZero(u + 1, kX25519Bytes - 1)) {
    return X25519ScalarMult(scalar, scalarLength, u, uLength, out, outLength);
  }
  uint8_t e[32];
  ClampScalar(e, scalar);
  Ge25519P3 a;
  Ge25519ScalarMultBase(&a, e, sizeof e);
  Fe25519 num, den;
  Fe25519Add(&num, a.Z, a.Y);
  Fe25519Sub(&den, a.Z, a.Y);
  Fe25519Invert(&den, den);
  Fe25519Mul(&num, num, den);
  Fe25519ToBytes(out, outLength, num);
  explicit_bzero(e, sizeof e);
  explicit_bzero(&a, sizeof a);
  explicit_bzero(&num, sizeof num);
  explicit_bzero(&den, sizeof den);
  return kOk;
}

int X25519PublicFromPrivate(const ByteString& privateKey, ByteString* publicKey) {
  if (privateKey.length() != kX25519Bytes) return kErrCurve25519Key;
  if (!publicKey) return kErrCurveLength;
  const int rc = publicKey->Resize(kX25519Bytes);
  if (rc != kOk) return rc;
  static constexpr uint8_t kBasePoint[32] = {9};
  return X25519(privateKey.bytes(), kX25519Bytes, kBasePoint, kX25519Bytes, publicKey->bytes(), kX25519Bytes);
}

}  // namespace tw
