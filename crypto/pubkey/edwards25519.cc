#include "crypto/pubkey/edwards25519.h"

#include <string.h>

#include "crypto/pubkey/constant_time.h"

namespace tw {
namespace {

constexpr Fe25519 kD = {{0x34dca135978a3, 0x1a8283b156ebd, 0x5e7a26001c029, 0x739c663a03cbb, 0x52036cee2b6ff}};
constexpr Fe25519 kD2 = {{0x69b9426b2f159, 0x35050762add7a, 0x3cf44c0038052, 0x6738cc7407977, 0x2406d9dc56dff}};
constexpr Fe25519 kSqrtM1 = {{0x61b274a0ea0b0, 0xd5a5fc8f189d, 0x7ef5e9cbd0c60, 0x78595a6804c9e, 0x2b8324804fc1d}};
// The base point: y = 4/5, x even.
constexpr Fe25519 kBaseX = {{0x62d608f25d51a, 0x412a4b4f6592a, 0x75b7171a4b31d, 0x1ff60527118fe, 0x216936d3cd6e5}};
constexpr Fe25519 kBaseY = {{0x6666666666658, 0x4cccccccccccc, 0x1999999999999, 0x3333333333333, 0x6666666666666}};

// 2^252 = these signed 21-bit limbs mod L; a limb at position i >= 12 folds into i-12 .. i-7.
constexpr int64_t kFold[6] = {666643, 470296, 654183, -997805, 136657, -683901};

// Row i, entry j: (j+1) 256^i B. 32 x 8 affine points, 30,720 bytes.
struct BaseTable {
  Ge25519Precomp rows[32][8];
};

// The odd multiples 1B, 3B, ..., 15B for the double-scalar multiply.
struct OddMultiples {
  Ge25519Precomp p[8];
};

void BaseP3(Ge25519P3* b) {
  b->X = kBaseX;
  b->Y = kBaseY;
  Fe25519One(&b->Z);
  Fe25519Mul(&b->T, kBaseX, kBaseY);
}

void ToPrecomp(Ge25519Precomp* r, const Ge25519P3& p) {
  Fe25519 zi, x, y;
  Fe25519Invert(&zi, p.Z);
  Fe25519Mul(&x, p.X, zi);
  Fe25519Mul(&y, p.Y, zi);
  Fe25519Add(&r->yplusx, y, x);
  Fe25519Sub(&r->yminusx, y, x);
  Fe25519Mul(&r->xy2d, x, y);
  Fe25519Mul(&r->xy2d, r->xy2d, kD2);
}

void AddP3(Ge25519P3* r, const Ge25519P3& p, const Ge25519P3& q) {
  Ge25519Cached c;
  Ge25519P1P1 t;
  Ge25519P3ToCached(&c, q);
  Ge25519Add(&t, p, c);
  Ge25519P1P1ToP3(r, t);
}

void DblP3(Ge25519P3* r, const Ge25519P3& p) {
  Ge25519P1P1 t;
  Ge25519P3Dbl(&t, p);
  Ge25519P1P1ToP3(r, t);
}

// Built on first use from B by the rule above; C++ makes the one-time construction thread-safe.
const BaseTable& Table() {
  static const BaseTable table = [] {
    BaseTable t;
    Ge25519P3 row;
    BaseP3(&row);
    for (int i = 0; i < 32; ++i) {
      Ge25519P3 multiple = row;
      for (int j = 0; j < 8; ++j) {
        ToPrecomp(&t.rows[i][j], multiple);
        AddP3(&multiple, multiple, row);
      }
      for (int k = 0; k < 8; ++k) DblP3(&row, row);
    }
    return t;
  }();
  return table;
}

const OddMultiples& Odd() {
  static const OddMultiples odd = [] {
    OddMultiples o;
    Ge25519P3 b, b2, m;
    BaseP3(&b);
    DblP3(&b2, b);
    m = b;
    for (int i = 0; i < 8; ++i) {
      ToPrecomp(&o.p[i], m);
      AddP3(&m, m, b2);
    }
    return o;
  }();
  return odd;
}

void PrecompIdentity(Ge25519Precomp* p) {
  Fe25519One(&p->yplusx);
  Fe25519One(&p->yminusx);
  Fe25519Zero(&p->xy2d);
}

void CMovePrecomp(Ge25519Precomp* t, const Ge25519Precomp& u, unsigned b) {
  Fe25519CMove(&t->yplusx, u.yplusx, b);
  Fe25519CMove(&t->yminusx, u.yminusx, b);
  Fe25519CMove(&t->xy2d, u.xy2d, b);
}

unsigned Equal(unsigned a, unsigned b) { return ((a ^ b) - 1) >> 31; }

// Entry |digit| of row `pos` (the neutral point for 0), negated when the digit is negative. Every
// entry is read and the choice is made by masks.
void Select(Ge25519Precomp* t, int pos, int8_t digit) {
  const unsigned negative = static_cast<uint8_t>(digit) >> 7;
  const unsigned magnitude = static_cast<unsigned>(digit - ((-static_cast<int>(negative) & digit) * 2));
  PrecompIdentity(t);
  for (int j = 0; j < 8; ++j) CMovePrecomp(t, Table().rows[pos][j], Equal(magnitude, j + 1));
  Ge25519Precomp minus;
  minus.yplusx = t->yminusx;
  minus.yminusx = t->yplusx;
  Fe25519Neg(&minus.xy2d, t->xy2d);
  CMovePrecomp(t, minus, negative);
}

// Digits 0 or odd in -15..15, most of them zero, with sum r[i] 2^i equal to the scalar.
void Slide(int8_t r[256], const uint8_t a[32]) {
  for (int i = 0; i < 256; ++i) r[i] = 1 & (a[i >> 3] >> (i & 7));
  for (int i = 0; i < 256; ++i) {
    if (!r[i]) continue;
    for (int b = 1; b <= 6 && i + b < 256; ++b) {
      if (!r[i + b]) continue;
      if (r[i] + (r[i + b] << b) <= 15) {
        r[i] += r[i + b] << b;
        r[i + b] = 0;
      } else if (r[i] - (r[i + b] << b) >= -15) {
        r[i] -= r[i + b] << b;
        for (int k = i + b; k < 256; ++k) {
          if (!r[k]) {
            r[k] = 1;
            break;
          }
          r[k] = 0;
        }
      } else {
        break;
      }
    }
  }
}

uint32_t LoadLe(const uint8_t* s, int n) {
  uint32_t r = 0;
  for (int i = n - 1; i >= 0; --i) r = (r << 8) | s[i];
  return r;
}

// Limb k of a little-endian number split in 21-bit limbs, the last one taking the remaining bits.
void SplitLimbs(int64_t* limbs, int count, const uint8_t* s, int bytes) {
  for (int k = 0; k < count; ++k) {
    const int bit = 21 * k, at = bit >> 3;
    const int n = bytes - at < 4 ? bytes - at : 4;
    const uint32_t v = LoadLe(s + at, n) >> (bit & 7);
    limbs[k] = k == count - 1 ? v : (v & 0x1FFFFF);
  }
}

void Fold(int64_t s[24], int i) {
  for (int j = 0; j < 6; ++j) s[i - 12 + j] += s[i] * kFold[j];
  s[i] = 0;
}

// Rounding carry: leaves the limb in -2^20 .. 2^20.
void CarryRound(int64_t s[24], int i) {
  const int64_t carry = (s[i] + (int64_t{1} << 20)) >> 21;
  s[i + 1] += carry;
  s[i] -= carry * (int64_t{1} << 21);
}

void CarryFloor(int64_t s[24], int i) {
  const int64_t carry = s[i] >> 21;
  s[i + 1] += carry;
  s[i] -= carry * (int64_t{1} << 21);
}

// Reduces 24 signed limbs (each well inside 2^60) mod L and writes the 32 bytes.
void ReduceLimbs(int64_t s[24], uint8_t out[32]) {
  for (int i = 23; i >= 18; --i) Fold(s, i);
  for (int i = 6; i <= 16; i += 2) CarryRound(s, i);
  for (int i = 7; i <= 15; i += 2) CarryRound(s, i);
  for (int i = 17; i >= 12; --i) Fold(s, i);
  for (int i = 0; i <= 10; i += 2) CarryRound(s, i);
  for (int i = 1; i <= 11; i += 2) CarryRound(s, i);
  Fold(s, 12);
  for (int i = 0; i <= 11; ++i) CarryFloor(s, i);
  Fold(s, 12);
  for (int i = 0; i <= 10; ++i) CarryFloor(s, i);
  // Twelve limbs of 21 bits, the value now below L: pack them.
  memset(out, 0, 32);
  for (int k = 0; k < 12; ++k) {
    const uint64_t v = static_cast<uint64_t>(s[k]);
    const int bit = 21 * k;
    for (int b = 0; b < 21 && bit + b < 256; b += 8) {
      const int at = (bit + b) >> 3, shift = (bit + b) & 7;
      out[at] |= static_cast<uint8_t>((v >> b) << shift);
      if (shift && at + 1 < 32) out[at + 1] |= static_cast<uint8_t>((v >> b) >> (8 - shift));
    }
  }
}

}  // namespace

void Ge25519P3Identity(Ge25519P3* h) {
  Fe25519Zero(&h->X);
  Fe25519One(&h->Y);
  Fe25519One(&h->Z);
  Fe25519Zero(&h->T);
}

void Ge25519P3ToCached(Ge25519Cached* r, const Ge25519P3& p) {
  Fe25519Add(&r->YplusX, p.Y, p.X);
  Fe25519Sub(&r->YminusX, p.Y, p.X);
  r->Z = p.Z;
  Fe25519Mul(&r->T2d, p.T, kD2);
}

void Ge25519P1P1ToP2(Ge25519P2* r, const Ge25519P1P1& p) {
  Fe25519Mul(&r->X, p.X, p.T);
  Fe25519Mul(&r->Y, p.Y, p.Z);
  Fe25519Mul(&r->Z, p.Z, p.T);
}

void Ge25519P1P1ToP3(Ge25519P3* r, const Ge25519P1P1& p) {
  Fe25519Mul(&r->X, p.X, p.T);
  Fe25519Mul(&r->Y, p.Y, p.Z);
  Fe25519Mul(&r->Z, p.Z, p.T);
  Fe25519Mul(&r->T, p.X, p.Y);
}

void Ge25519P2Dbl(Ge25519P1P1* r, const Ge25519P2& p) {
  Fe25519 xx, b, a;
  Fe25519Sq(&xx, p.X);
  Fe25519Sq(&r->Z, p.Y);  // YY for now
  Fe25519Sq2(&b, p.Z);
  Fe25519Add(&a, p.X, p.Y);
  Fe25519Sq(&a, a);
  const Fe25519 yy = r->Z;
  Fe25519Add(&r->Y, yy, xx);
  Fe25519Sub(&r->Z, yy, xx);
  Fe25519Sub(&r->X, a, r->Y);
  Fe25519Sub(&r->T, b, r->Z);
}

void Ge25519P3Dbl(Ge25519P1P1* r, const Ge25519P3& p) {
  const Ge25519P2 q = {p.X, p.Y, p.Z};
  Ge25519P2Dbl(r, q);
}

namespace {

// The shared body of the four additions. plus and minus multiply the point's Y+X and Y-X (the
// addend's Y+X and Y-X, exchanged for a subtraction, which negates its x); t2d is the addend's
// 2d T, whose sign a subtraction flips by exchanging the Z and T results; z2 is 2 Z1 Z2.
void AddBody(Ge25519P1P1* r, const Ge25519P3& p, const Fe25519& plus, const Fe25519& minus, const Fe25519& t2d,
             const Fe25519& z2, bool subtract) {
  Fe25519 a, b, c, sum, diff;
  Fe25519Add(&sum, p.Y, p.X);
  Fe25519Sub(&diff, p.Y, p.X);
  Fe25519Mul(&a, sum, plus);
  Fe25519Mul(&b, diff, minus);
  Fe25519Mul(&c, t2d, p.T);
  Fe25519Sub(&r->X, a, b);
  Fe25519Add(&r->Y, a, b);
  if (subtract) {
    Fe25519Sub(&r->Z, z2, c);
    Fe25519Add(&r->T, z2, c);
  } else {
    Fe25519Add(&r->Z, z2, c);
    Fe25519Sub(&r->T, z2, c);
  }
}

}  // namespace

void Ge25519Add(Ge25519P1P1* r, const Ge25519P3& p, const Ge25519Cached& q) {
  Fe25519 z2;
  Fe25519Mul(&z2, p.Z, q.Z);
  Fe25519Add(&z2, z2, z2);
  AddBody(r, p, q.YplusX, q.YminusX, q.T2d, z2, false);
}

void Ge25519Sub(Ge25519P1P1* r, const Ge25519P3& p, const Ge25519Cached& q) {
  Fe25519 z2;
  Fe25519Mul(&z2, p.Z, q.Z);
  Fe25519Add(&z2, z2, z2);
  AddBody(r, p, q.YminusX, q.YplusX, q.T2d, z2, true);
}

void Ge25519MAdd(Ge25519P1P1* r, const Ge25519P3& p, const Ge25519Precomp& q) {
  Fe25519 z2;
  Fe25519Add(&z2, p.Z, p.Z);
  AddBody(r, p, q.yplusx, q.yminusx, q.xy2d, z2, false);
}

void Ge25519MSub(Ge25519P1P1* r, const Ge25519P3& p, const Ge25519Precomp& q) {
  Fe25519 z2;
  Fe25519Add(&z2, p.Z, p.Z);
  AddBody(r, p, q.yminusx, q.yplusx, q.xy2d, z2, true);
}

int Ge25519P2ToBytes(uint8_t* s, int length, const Ge25519P2& h) {
  if (!s || length != kX25519Bytes) return kErrCurveLength;
  Fe25519 recip, x, y;
  Fe25519Invert(&recip, h.Z);
  Fe25519Mul(&x, h.X, recip);
  Fe25519Mul(&y, h.Y, recip);
  Fe25519ToBytes(s, length, y);
  s[31] ^= static_cast<uint8_t>(Fe25519IsNegative(x) << 7);
  return kOk;
}

int Ge25519P3ToBytes(uint8_t* s, int length, const Ge25519P3& h) {
  if (!s || length < kX25519Bytes) return kErrCurveLength;
  const Ge25519P2 p = {h.X, h.Y, h.Z};
  return Ge25519P2ToBytes(s, kX25519Bytes, p);
}

int Ge25519FromBytesNegate(Ge25519P3* h, const uint8_t* s, int length) {
  if (!s || length < kX25519Bytes) return 0;
  Fe25519 u, v, v3, vxx, check;
  Fe25519FromBytes(&h->Y, s, length);
  Fe25519One(&h->Z);
  Fe25519Sq(&u, h->Y);
  Fe25519Mul(&v, u, kD);
  Fe25519Sub(&u, u, h->Z);  // y^2 - 1
  Fe25519Add(&v, v, h->Z);  // d y^2 + 1
  Fe25519Sq(&v3, v);
  Fe25519Mul(&v3, v3, v);   // v^3
  Fe25519Sq(&h->X, v3);
  Fe25519Mul(&h->X, h->X, v);
  Fe25519Mul(&h->X, h->X, u);  // u v^7
  Fe25519Pow22523(&h->X, h->X);
  Fe25519Mul(&h->X, h->X, v3);
  Fe25519Mul(&h->X, h->X, u);  // u v^3 (u v^7)^((p-5)/8)
  Fe25519Sq(&vxx, h->X);
  Fe25519Mul(&vxx, vxx, v);
  Fe25519Sub(&check, vxx, u);
  if (Fe25519IsNonzero(check)) {
    Fe25519Add(&check, vxx, u);
    if (Fe25519IsNonzero(check)) return 0;
    Fe25519Mul(&h->X, h->X, kSqrtM1);
  }
  if (Fe25519IsNegative(h->X) == (s[31] >> 7)) Fe25519Neg(&h->X, h->X);
  Fe25519Mul(&h->T, h->X, h->Y);
  return 1;
}

int Ge25519ScalarMultBase(Ge25519P3* h, const uint8_t* a, int length) {
  if (!h || !a || length < kX25519Bytes) return kErrCurveLength;
  uint8_t k[64] = {};
  memcpy(k, a, kX25519Bytes);
  // The top digit must stay within the table: bit 255 is folded back in as 2^255 mod L (B has
  // order L), by mask, twice, which leaves it clear whatever the scalar.
  static constexpr uint8_t kTwo255ModL[32] = {0x85, 0x34, 0x47, 0x75, 0x47, 0x4a, 0x7f, 0x97, 0x23, 0xb6, 0x3a,
                                              0x8b, 0xe9, 0x2a, 0xe7, 0x6d, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                              0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x0f};
  for (int round = 0; round < 2; ++round) {
    const uint8_t mask = static_cast<uint8_t>(0 - (k[31] >> 7));
    k[31] &= 0x7f;
    unsigned carry = 0;
    for (int i = 0; i < kX25519Bytes; ++i) {
      carry += k[i] + (kTwo255ModL[i] & mask);
      k[i] = static_cast<uint8_t>(carry);
      carry >>= 8;
    }
  }
  int8_t e[64];
  for (int i = 0; i < 32; ++i) {
    e[2 * i] = k[i] & 15;
    e[2 * i + 1] = (k[i] >> 4) & 15;
  }
  int8_t carry = 0;
  for (int i = 0; i < 63; ++i) {
    e[i] += carry;
    carry = static_cast<int8_t>((e[i] + 8) >> 4);
    e[i] -= static_cast<int8_t>(carry * 16);
  }
  e[63] += carry;

  Ge25519P1P1 r;
  Ge25519P2 s;
  Ge25519Precomp t;
  Ge25519P3Identity(h);
  for (int i = 1; i < 64; i += 2) {
    Select(&t, i / 2, e[i]);
    Ge25519MAdd(&r, *h, t);
    Ge25519P1P1ToP3(h, r);
  }
  Ge25519P3Dbl(&r, *h);
  Ge25519P1P1ToP2(&s, r);
  Ge25519P2Dbl(&r, s);
  Ge25519P1P1ToP2(&s, r);
  Ge25519P2Dbl(&r, s);
  Ge25519P1P1ToP2(&s, r);
  Ge25519P2Dbl(&r, s);
  Ge25519P1P1ToP3(h, r);
  for (int i = 0; i < 64; i += 2) {
    Select(&t, i / 2, e[i]);
    Ge25519MAdd(&r, *h, t);
    Ge25519P1P1ToP3(h, r);
  }
  explicit_bzero(k, sizeof k);
  explicit_bzero(e, sizeof e);
  explicit_bzero(&t, sizeof t);
  explicit_bzero(&r, sizeof r);
  explicit_bzero(&s, sizeof s);
  return kOk;
}

void Ge25519DoubleScalarMultVartime(Ge25519P2* r, const uint8_t a[32], const Ge25519P3& A, const uint8_t b[32]) {
  int8_t aslide[256], bslide[256];
  Slide(aslide, a);
  Slide(bslide, b);
  Ge25519Cached ai[8];
  Ge25519P1P1 t;
  Ge25519P3 u, a2;
  Ge25519P3ToCached(&ai[0], A);
  DblP3(&a2, A);
  for (int i = 1; i < 8; ++i) {
    Ge25519Add(&t, a2, ai[i - 1]);
    Ge25519P1P1ToP3(&u, t);
    Ge25519P3ToCached(&ai[i], u);
  }
  const OddMultiples& bi = Odd();
  Fe25519Zero(&r->X);
  Fe25519One(&r->Y);
  Fe25519One(&r->Z);
  int i = 255;
  while (i >= 0 && !aslide[i] && !bslide[i]) --i;
  for (; i >= 0; --i) {
    Ge25519P2Dbl(&t, *r);
    if (aslide[i] > 0) {
      Ge25519P1P1ToP3(&u, t);
      Ge25519Add(&t, u, ai[aslide[i] / 2]);
    } else if (aslide[i] < 0) {
      Ge25519P1P1ToP3(&u, t);
      Ge25519Sub(&t, u, ai[-aslide[i] / 2]);
    }
    if (bslide[i] > 0) {
      Ge25519P1P1ToP3(&u, t);
      Ge25519MAdd(&t, u, bi.p[bslide[i] / 2]);
    } else if (bslide[i] < 0) {
      Ge25519P1P1ToP3(&u, t);
      Ge25519MSub(&t, u, bi.p[-bslide[i] / 2]);
    }
    Ge25519P1P1ToP2(r, t);
  }
}

int Sc25519Reduce(uint8_t* s, int length) {
  if (!s || length < 64) return kErrCurveLength;
  int64_t limbs[24];
  SplitLimbs(limbs, 24, s, 64);
  ReduceLimbs(limbs, s);
  explicit_bzero(limbs, sizeof limbs);
  return kOk;
}

int Sc25519MulAdd(uint8_t* out, int outLength, const uint8_t* a, int aLength, const uint8_t* b, int bLength,
                  const uint8_t* c, int cLength) {
  if (!out || !a || !b || !c || outLength < 32 || aLength < 32 || bLength < 32 || cLength < 32) {
    return kErrCurveLength;
  }
  int64_t al[12], bl[12], s[24] = {};
  SplitLimbs(al, 12, a, 32);
  SplitLimbs(bl, 12, b, 32);
  SplitLimbs(s, 12, c, 32);
  for (int i = 0; i < 12; ++i) {
    for (int j = 0; j < 12; ++j) s[i + j] += al[i] * bl[j];
  }
  for (int i = 0; i <= 22; i += 2) CarryRound(s, i);
  for (int i = 1; i <= 21; i += 2) CarryRound(s, i);
  ReduceLimbs(s, out);
  explicit_bzero(al, sizeof al);
  explicit_bzero(bl, sizeof bl);
  explicit_bzero(s, sizeof s);
  return kOk;
}

}  // namespace tw
