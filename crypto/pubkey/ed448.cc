#include "crypto/pubkey/ed448.h"

#include <string.h>

#include <vector>

#include "crypto/pubkey/constant_time.h"
#include "crypto/pubkey/curve448.h"
#include "crypto/symmetric/sha3.h"

namespace tw {
namespace {

// dom4: this text, phflag, the context length, the context.
constexpr char kDom4Text[] = "SigEd448";
constexpr int kDom4TextBytes = sizeof kDom4Text - 1;

constexpr int kScalarWords = 14;
constexpr int kScalarBytes = 56;
constexpr int kHashBytes = 114;  // SHAKE256 output of the key expansion and the two scalar hashes
// A 912-bit hash, or a 896-bit product plus a scalar, fits in 29 words.
constexpr int kWideWords = 29;
constexpr uint32_t kMinusD = 39081;  // d = -39081

// Scalars modulo L = 2^446 - c: fourteen 32-bit words, least significant first.
using Ed448Scalar = uint32_t[kScalarWords];

constexpr uint32_t kOrder[kScalarWords] = {0xab5844f3, 0x2378c292, 0x8dc58f55, 0x216cc272, 0xaed63690,
                                           0xc44edb49, 0x7cca23e9, 0xffffffff, 0xffffffff, 0xffffffff,
                                           0xffffffff, 0xffffffff, 0xffffffff, 0x3fffffff};
constexpr uint32_t kOrderC[7] = {0x54a7bb0d, 0xdc873d6d, 0x723a70aa, 0xde933d8d, 0x5129c96f, 0x3bb124b6, 0x8335dc16};

// The base point of RFC 8032.
constexpr Fe448 kBaseX = {{0x26a82bc70cc05e, 0x80e18b00938e26, 0xf72ab66511433b, 0xa3d3a46412ae1a,
                           0x0f1767ea6de324, 0x36da9e14657047, 0xed221d15a622bf, 0x4f1970c66bed0d}};
constexpr Fe448 kBaseY = {{0x08795bf230fa14, 0x132c4ed7c8ad98, 0x1ce67c39c4fdbd, 0x05a0c2d73ad3ff,
                           0xa3984087789c1e, 0xc7624bea73736c, 0x248876203756c9, 0x693f46716eb6bc}};

// Extended (X:Y:Z:T), x = X/Z, y = Y/Z, T = XY/Z. The formulas (Hisil-Wong-Carter-Dawson with
// a = 1) are complete on this curve, since d is not a square.
struct Point {
  Fe448 X, Y, Z, T;
};

// Ready to add, d folded into T: (X, Y, Z, dT).
struct Cached {
  Fe448 X, Y, Z, dT;
};

// Ready to add, affine: (x, y, d x y).
struct Niels {
  Fe448 x, y, dxy;
};

// Row i, entry j: (j+1) 256^i B, 56 x 8 affine points (86,016 bytes).
struct Ed448BaseTable {
  Niels rows[56][8];
};

// ---- scalars ----

void ScalarFromBytes(uint32_t* w, int words, const uint8_t* s, int n) {
  memset(w, 0, sizeof(uint32_t) * static_cast<size_t>(words));
  for (int i = 0; i < n && i < 4 * words; ++i) w[i / 4] |= static_cast<uint32_t>(s[i]) << (8 * (i % 4));
}

void ScalarToBytes(uint8_t out[kScalarBytes], const Ed448Scalar s) {
  for (int i = 0; i < kScalarBytes; ++i) out[i] = static_cast<uint8_t>(s[i / 4] >> (8 * (i % 4)));
}

// x = (x mod 2^446) + (x >> 446) c, which keeps x mod L and shortens it by about 222 bits.
void Fold(uint32_t x[kWideWords]) {
  uint32_t hi[kWideWords - 13];
  for (int i = 0; i < kWideWords - 13; ++i) {
    const uint32_t above = 14 + i < kWideWords ? x[14 + i] << 2 : 0;
    hi[i] = (x[13 + i] >> 30) | above;
  }
  x[13] &= 0x3fffffff;
  for (int i = 14; i < kWideWords; ++i) x[i] = 0;
  for (int i = 0; i < kWideWords - 13; ++i) {
    uint64_t carry = 0;
    for (int j = 0; j < 7; ++j) {
      const uint64_t t = x[i + j] + static_cast<uint64_t>(hi[i]) * kOrderC[j] + carry;
      x[i + j] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    for (int k = i + 7; k < kWideWords; ++k) {
      const uint64_t t = x[k] + carry;
      x[k] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
  }
  explicit_bzero(hi, sizeof hi);
}

// x mod L in constant time. Four folds take any 928-bit value below 2L (928 -> 707 -> 486 -> 447
// bits, then at most 2^446 + c); one masked subtraction finishes.
void ReduceWide(uint32_t x[kWideWords], Ed448Scalar out) {
  for (int pass = 0; pass < 4; ++pass) Fold(x);
  uint32_t t[kScalarWords];
  uint64_t borrow = 0;
  for (int i = 0; i < kScalarWords; ++i) {
    const uint64_t d = static_cast<uint64_t>(x[i]) - kOrder[i] - borrow;
    t[i] = static_cast<uint32_t>(d);
    borrow = (d >> 32) & 1;
  }
  const uint32_t keep = 0 - static_cast<uint32_t>(borrow);  // x was below L
  for (int i = 0; i < kScalarWords; ++i) out[i] = (x[i] & keep) | (t[i] & ~keep);
  explicit_bzero(t, sizeof t);
}

void ScalarReduceBytes(Ed448Scalar out, const uint8_t* s, int n) {
  uint32_t x[kWideWords];
  ScalarFromBytes(x, kWideWords, s, n);
  ReduceWide(x, out);
  explicit_bzero(x, sizeof x);
}

// out = (a b + c) mod L, in constant time.
void ScalarMulAdd(Ed448Scalar out, const Ed448Scalar a, const Ed448Scalar b, const Ed448Scalar c) {
  uint32_t x[kWideWords] = {};
  memcpy(x, c, sizeof(Ed448Scalar));
  for (int i = 0; i < kScalarWords; ++i) {
    uint64_t carry = 0;
    for (int j = 0; j < kScalarWords; ++j) {
      const uint64_t t = x[i + j] + static_cast<uint64_t>(a[i]) * b[j] + carry;
      x[i + j] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    for (int k = i + kScalarWords; k < kWideWords; ++k) {
      const uint64_t t = x[k] + carry;
      x[k] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
  }
  ReduceWide(x, out);
  explicit_bzero(x, sizeof x);
}

// 56 little-endian bytes below L (public data: variable time).
bool BelowOrder(const uint8_t* s) {
  Ed448Scalar w;
  ScalarFromBytes(w, kScalarWords, s, kScalarBytes);
  for (int i = kScalarWords - 1; i >= 0; --i) {
    if (w[i] != kOrder[i]) return w[i] < kOrder[i];
  }
  return false;
}

// ---- points ----

void FeCMove(Fe448* f, const Fe448& g, unsigned b) {
  const uint64_t mask = 0 - static_cast<uint64_t>(b & 1);
  for (int i = 0; i < 8; ++i) f->v[i] ^= mask & (f->v[i] ^ g.v[i]);
}

void Identity(Point* p) {
  Fe448Zero(&p->X);
  Fe448One(&p->Y);
  Fe448One(&p->Z);
  Fe448Zero(&p->T);
}

void Base(Point* p) {
  p->X = kBaseX;
  p->Y = kBaseY;
  Fe448One(&p->Z);
  Fe448Mul(&p->T, kBaseX, kBaseY);
}

// T is left stale when `withT` is false: enough before another doubling, which does not read it.
void Dbl(Point* r, const Point& p, bool withT = true) {
  Fe448 a, b, c, e, f, g, h, t;
  Fe448Sq(&a, p.X);
  Fe448Sq(&b, p.Y);
  Fe448Sq(&c, p.Z);
  Fe448Add(&c, c, c);
  Fe448Add(&t, p.X, p.Y);
  Fe448Sq(&e, t);
  Fe448Add(&g, a, b);
  Fe448Sub(&e, e, g);  // 2XY
  Fe448Sub(&f, g, c);
  Fe448Sub(&h, a, b);
  Fe448Mul(&r->X, e, f);
  Fe448Mul(&r->Y, g, h);
  Fe448Mul(&r->Z, f, g);
  if (withT) Fe448Mul(&r->T, e, h);
}

// The common tail of both additions: a = X1 X2, b = Y1 Y2, c = d T1 T2, zz = Z1 Z2, and
// sum = (X1 + Y1)(X2 + Y2).
void AddTail(Point* r, const Fe448& a, const Fe448& b, const Fe448& c, const Fe448& zz, const Fe448& sum) {
  Fe448 e, f, g, h, ab;
  Fe448Add(&ab, a, b);
  Fe448Sub(&e, sum, ab);
  Fe448Sub(&f, zz, c);
  Fe448Add(&g, zz, c);
  Fe448Sub(&h, b, a);
  Fe448Mul(&r->X, e, f);
  Fe448Mul(&r->Y, g, h);
  Fe448Mul(&r->Z, f, g);
  Fe448Mul(&r->T, e, h);
}

void Add(Point* r, const Point& p, const Cached& q) {
  Fe448 a, b, c, zz, s1, s2, sum;
  Fe448Mul(&a, p.X, q.X);
  Fe448Mul(&b, p.Y, q.Y);
  Fe448Mul(&c, p.T, q.dT);
  Fe448Mul(&zz, p.Z, q.Z);
  Fe448Add(&s1, p.X, p.Y);
  Fe448Add(&s2, q.X, q.Y);
  Fe448Mul(&sum, s1, s2);
  AddTail(r, a, b, c, zz, sum);
}

void MAdd(Point* r, const Point& p, const Niels& q) {
  Fe448 a, b, c, s1, s2, sum;
  Fe448Mul(&a, p.X, q.x);
  Fe448Mul(&b, p.Y, q.y);
  Fe448Mul(&c, p.T, q.dxy);
  Fe448Add(&s1, p.X, p.Y);
  Fe448Add(&s2, q.x, q.y);
  Fe448Mul(&sum, s1, s2);
  const Fe448 zz = p.Z;
  AddTail(r, a, b, c, zz, sum);
}

void ToCached(Cached* c, const Point& p) {
  c->X = p.X;
  c->Y = p.Y;
  c->Z = p.Z;
  Fe448MulWord(&c->dT, p.T, kMinusD);
  Fe448Neg(&c->dT, c->dT);
}

// -(x, y) = (-x, y).
void NegateCached(Cached* c) {
  Fe448Neg(&c->X, c->X);
  Fe448Neg(&c->dT, c->dT);
}

void NegateNiels(Niels* n) {
  Fe448Neg(&n->x, n->x);
  Fe448Neg(&n->dxy, n->dxy);
}

void Encode(uint8_t out[kEd448KeyBytes], const Point& p) {
  Fe448 zi, x, y;
  Fe448Invert(&zi, p.Z);
  Fe448Mul(&x, p.X, zi);
  Fe448Mul(&y, p.Y, zi);
  Fe448Encode(out, kX448Bytes, y);
  out[56] = static_cast<uint8_t>(Fe448IsNegative(x) << 7);
}

// RFC 8032 decoding: false unless the 57 bytes are the canonical encoding of a curve point
// (y below p, the unused seven bits clear, x recoverable, no "negative" zero).
bool Decode(Point* p, const uint8_t in[kEd448KeyBytes]) {
  if (in[56] & 0x7f) return false;
  if (!Fe448Decode(&p->Y, in, kX448Bytes)) return false;
  Fe448 yy, u, v, uv, r;
  Fe448Sq(&yy, p->Y);
  Fe448SubWord(&u, yy, 1);  // y^2 - 1
  Fe448MulWord(&v, yy, kMinusD);
  Fe448AddWord(&v, v, 1);
  Fe448Neg(&v, v);  // d y^2 - 1
  if (Fe448IsZero(u)) {
    Fe448Zero(&p->X);
  } else {
    // x = sqrt(u / v) = u / sqrt(u v).
    Fe448Mul(&uv, u, v);
    if (!Fe448InverseSqrt(&r, uv)) return false;
    Fe448Mul(&p->X, u, r);
  }
  const int sign = in[56] >> 7;
  if (sign && Fe448IsZero(p->X)) return false;
  if (Fe448IsNegative(p->X) != sign) Fe448Neg(&p->X, p->X);
  Fe448One(&p->Z);
  Fe448Mul(&p->T, p->X, p->Y);
  return true;
}

bool BuildBaseTable(Ed448BaseTable* table) {
  constexpr int kCount = 56 * 8;
  std::vector<Point> points(kCount);
  std::vector<Fe448> zs(kCount), inverses(kCount);
  Point row;
  Base(&row);
  for (int i = 0; i < 56; ++i) {
    Cached step;
    ToCached(&step, row);
    Point multiple = row;
    for (int j = 0; j < 8; ++j) {
      points[8 * i + j] = multiple;
      Add(&multiple, multiple, step);
    }
    for (int k = 0; k < 8; ++k) Dbl(&row, row);
  }
  for (int n = 0; n < kCount; ++n) zs[n] = points[n].Z;
  // Every Z is nonzero (the formulas are complete), so one inversion serves all.
  const int rc = Fe448BatchInvert(inverses.data(), zs.data(), kCount);
  for (int n = 0; n < kCount; ++n) {
    Niels& e = table->rows[n / 8][n % 8];
    Fe448Mul(&e.x, points[n].X, inverses[n]);
    Fe448Mul(&e.y, points[n].Y, inverses[n]);
    Fe448Mul(&e.dxy, e.x, e.y);
    Fe448MulWord(&e.dxy, e.dxy, kMinusD);
    Fe448Neg(&e.dxy, e.dxy);
    Fe448StrongReduce(&e.x);
    Fe448StrongReduce(&e.y);
    Fe448StrongReduce(&e.dxy);
  }
  return rc == kOk;
}

// Built once, on first use; C++ makes the one-time construction thread-safe.
const Ed448BaseTable& BaseTable() {
  static Ed448BaseTable table;
  static const bool built = BuildBaseTable(&table);
  (void)built;
  return table;
}

unsigned Equal(unsigned a, unsigned b) { return ((a ^ b) - 1) >> 31; }

// Entry |digit| of row `row` (the neutral point for 0), negated for a negative digit; every entry
// is read and the choice made by masks.
void Select(Niels* t, int row, int8_t digit) {
  const unsigned negative = static_cast<uint8_t>(digit) >> 7;
  const unsigned magnitude = static_cast<unsigned>(digit - ((-static_cast<int>(negative) & digit) * 2));
  Fe448Zero(&t->x);
  Fe448One(&t->y);
  Fe448Zero(&t->dxy);
  const Niels* entries = BaseTable().rows[row];
  for (int j = 0; j < 8; ++j) {
    const unsigned hit = Equal(magnitude, static_cast<unsigned>(j + 1));
    FeCMove(&t->x, entries[j].x, hit);
    FeCMove(&t->y, entries[j].y, hit);
    FeCMove(&t->dxy, entries[j].dxy, hit);
  }
  Niels minus = *t;
  NegateNiels(&minus);
  FeCMove(&t->x, minus.x, negative);
  FeCMove(&t->dxy, minus.dxy, negative);
  explicit_bzero(&minus, sizeof minus);
}

// s B for s below L, in constant time: 112 signed radix-16 digits in -8..8, the odd ones added
// first and multiplied by 16, then the even ones.
void MulBase(Point* h, const Ed448Scalar s) {
  uint8_t b[kScalarBytes];
  ScalarToBytes(b, s);
  int8_t e[2 * kScalarBytes];
  for (int i = 0; i < kScalarBytes; ++i) {
    e[2 * i] = static_cast<int8_t>(b[i] & 15);
    e[2 * i + 1] = static_cast<int8_t>(b[i] >> 4);
  }
  int8_t carry = 0;
  for (int i = 0; i < 2 * kScalarBytes - 1; ++i) {
    e[i] = static_cast<int8_t>(e[i] + carry);
    carry = static_cast<int8_t>((e[i] + 8) >> 4);
    e[i] = static_cast<int8_t>(e[i] - carry * 16);
  }
  e[2 * kScalarBytes - 1] = static_cast<int8_t>(e[2 * kScalarBytes - 1] + carry);

  Niels t;
  Identity(h);
  for (int i = 1; i < 2 * kScalarBytes; i += 2) {
    Select(&t, i / 2, e[i]);
    MAdd(h, *h, t);
  }
  for (int k = 0; k < 4; ++k) Dbl(h, *h);
  for (int i = 0; i < 2 * kScalarBytes; i += 2) {
    Select(&t, i / 2, e[i]);
    MAdd(h, *h, t);
  }
  explicit_bzero(b, sizeof b);
  explicit_bzero(e, sizeof e);
  explicit_bzero(&t, sizeof t);
}

// Digits 0 or odd within -bound..bound, most of them zero, with sum r[i] 2^i equal to the scalar
// (below 2^446, so a carry never leaves the 448 places).
void Slide(int8_t r[448], const Ed448Scalar s, int bound) {
  for (int i = 0; i < 448; ++i) r[i] = static_cast<int8_t>((s[i >> 5] >> (i & 31)) & 1);
  for (int i = 0; i < 448; ++i) {
    if (!r[i]) continue;
    for (int b = 1; b <= 6 && i + b < 448; ++b) {
      if (!r[i + b]) continue;
      if (r[i] + (r[i + b] << b) <= bound) {
        r[i] = static_cast<int8_t>(r[i] + (r[i + b] << b));
        r[i + b] = 0;
      } else if (r[i] - (r[i + b] << b) >= -bound) {
        r[i] = static_cast<int8_t>(r[i] - (r[i + b] << b));
        for (int k = i + b; k < 448; ++k) {
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

// a A + b B, variable time (public data only). A's odd multiples up to 15 A are made here; B's up
// to 7 B are the first row of the base table.
void DoubleMulVartime(Point* r, const Ed448Scalar a, const Point& A, const Ed448Scalar b) {
  int8_t as[448], bs[448];
  Slide(as, a, 15);
  Slide(bs, b, 7);
  Cached odd[8];
  Point twice, u;
  ToCached(&odd[0], A);
  Dbl(&twice, A);
  for (int i = 1; i < 8; ++i) {
    Add(&u, twice, odd[i - 1]);
    ToCached(&odd[i], u);
  }
  const Niels* row0 = BaseTable().rows[0];
  Identity(r);
  int i = 447;
  while (i >= 0 && !as[i] && !bs[i]) --i;
  for (; i >= 0; --i) {
    Dbl(r, *r, as[i] || bs[i]);
    if (as[i]) {
      Cached c = odd[(as[i] > 0 ? as[i] : -as[i]) / 2];
      if (as[i] < 0) NegateCached(&c);
      Add(r, *r, c);
    }
    if (bs[i]) {
      Niels n = row0[(bs[i] > 0 ? bs[i] : -bs[i]) - 1];
      if (bs[i] < 0) NegateNiels(&n);
      MAdd(r, *r, n);
    }
  }
}

// ---- the schemes ----

struct Domain {
  uint8_t phflag;
  const uint8_t* context;
  int contextLength;
};

void Absorb(Sha3& h, const void* p, size_t n) {
  if (p && n) h.Absorb(p, n);
}

void AbsorbDomain(Sha3& h, const Domain& dom) {
  const uint8_t tail[2] = {dom.phflag, static_cast<uint8_t>(dom.contextLength)};
  h.Absorb(kDom4Text, kDom4TextBytes);
  h.Absorb(tail, sizeof tail);
  Absorb(h, dom.context, static_cast<size_t>(dom.contextLength));
}

bool ContextFits(const uint8_t* context, int length) {
  return length >= 0 && length <= kEdMaxContext && (context || length == 0);
}

bool KeysFit(const uint8_t* pub, int pubLength, const uint8_t* priv, int privLength) {
  return pub && priv && pubLength == kEd448KeyBytes && privLength == kEd448KeyBytes;
}

// SHAKE256 of the seed, clamped: the secret scalar (reduced mod L) and the nonce prefix.
int ExpandKey(const uint8_t* priv, Ed448Scalar s, uint8_t prefix[kEd448KeyBytes]) {
  Shake h(256);
  h.set_output_bits(8 * kHashBytes);
  h.Absorb(priv, kEd448KeyBytes);
  if (int rc = h.Final()) return rc;
  uint8_t a[kHashBytes];
  memcpy(a, h.output().bytes(), sizeof a);
  a[0] &= 0xfc;
  a[55] |= 0x80;
  a[56] = 0;
  ScalarReduceBytes(s, a, kEd448KeyBytes);
  if (prefix) memcpy(prefix, a + kEd448KeyBytes, kEd448KeyBytes);
  explicit_bzero(a, sizeof a);
  return kOk;
}

int SignWith(const Domain& dom, const uint8_t* msg, size_t length, const uint8_t* pub, const uint8_t* priv,
             ByteString& out) {
  if (int rc = out.SetData(kEd448SignatureBytes, nullptr)) return rc;
  uint8_t* sig = out.bytes();
  Ed448Scalar s, r, k, S;
  uint8_t prefix[kEd448KeyBytes];
  Point R;
  Shake h(256);
  h.set_output_bits(8 * kHashBytes);
  int rc = ExpandKey(priv, s, prefix);
  if (!rc) {
    // The stored public key enters the hash; a wrong one would let two signatures give the key away.
    Point A;
    uint8_t own[kEd448KeyBytes];
    MulBase(&A, s);
    Encode(own, A);
    ct::Declassify(own, sizeof own);
    if (memcmp(own, pub, sizeof own) != 0) rc = kErrEdKeyMismatch;
  }
  if (!rc) {
    AbsorbDomain(h, dom);
    h.Absorb(prefix, sizeof prefix);
    Absorb(h, msg, length);
    rc = h.Final();
  }
  if (!rc) {
    ScalarReduceBytes(r, h.output().bytes(), kHashBytes);
    MulBase(&R, r);
    Encode(sig, R);
    h.Reset();
    AbsorbDomain(h, dom);
    h.Absorb(sig, kEd448KeyBytes);
    h.Absorb(pub, kEd448KeyBytes);
    Absorb(h, msg, length);
    rc = h.Final();
  }
  if (!rc) {
    ScalarReduceBytes(k, h.output().bytes(), kHashBytes);
    ScalarMulAdd(S, k, s, r);
    ScalarToBytes(sig + kEd448KeyBytes, S);
    sig[kEd448SignatureBytes - 1] = 0;
  }
  explicit_bzero(s, sizeof s);
  explicit_bzero(r, sizeof r);
  explicit_bzero(prefix, sizeof prefix);
  explicit_bzero(&R, sizeof R);
  return rc;
}

int VerifyWith(const Domain& dom, const uint8_t* msg, size_t length, const uint8_t* pub, int pubLength,
               const uint8_t* sig, int sigLength) {
  if (!pub || !sig || pubLength != kEd448KeyBytes || sigLength != kEd448SignatureBytes) return 0;
  if (sig[kEd448SignatureBytes - 1] != 0 || !BelowOrder(sig + kEd448KeyBytes)) return 0;
  Point A;
  if (!Decode(&A, pub)) return 0;
  Shake h(256);
  h.set_output_bits(8 * kHashBytes);
  AbsorbDomain(h, dom);
  h.Absorb(sig, kEd448KeyBytes);
  h.Absorb(pub, kEd448KeyBytes);
  Absorb(h, msg, length);
  if (h.Final()) return 0;
  Ed448Scalar k, S;
  ScalarReduceBytes(k, h.output().bytes(), kHashBytes);
  ScalarFromBytes(S, kScalarWords, sig + kEd448KeyBytes, kScalarBytes);
  // R' = S B - k A, compared by its encoding: a non-canonical R never matches.
  Fe448Neg(&A.X, A.X);
  Fe448Neg(&A.T, A.T);
  Point check;
  DoubleMulVartime(&check, k, A, S);
  uint8_t encoded[kEd448KeyBytes];
  Encode(encoded, check);
  return ct::Diff(encoded, sig, sizeof encoded) == 0 ? 1 : 0;
}

// PH(M) for Ed448ph: the input itself when already hashed (64 bytes), else SHAKE256 of it at 512
// bits. 0, kErrEdPrehashLength, or 200.
int Prehash(const uint8_t* input, size_t length, bool prehashed, uint8_t out[kEdPrehashBytes]) {
  if (prehashed) {
    if (!input || length != kEdPrehashBytes) return kErrEdPrehashLength;
    memcpy(out, input, kEdPrehashBytes);
    return kOk;
  }
  Shake h(256);
  h.set_output_bits(8 * kEdPrehashBytes);
  Absorb(h, input, length);
  if (int rc = h.Final()) return rc;
  memcpy(out, h.output().bytes(), kEdPrehashBytes);
  return kOk;
}

}  // namespace

int Ed448Sign(const uint8_t* message, size_t length, const uint8_t* context, int context_length,
              const uint8_t* public_key, int public_length, const uint8_t* private_key, int private_length,
              ByteString& out) {
  if (!KeysFit(public_key, public_length, private_key, private_length)) return kErrEdKeyLength;
  if (!ContextFits(context, context_length)) return kErrEdContextLength;
  return SignWith({0, context, context_length}, message, length, public_key, private_key, out);
}

int Ed448PhSign(const uint8_t* input, size_t length, bool prehashed, const uint8_t* context, int context_length,
                const uint8_t* public_key, int public_length, const uint8_t* private_key, int private_length,
                ByteString& out) {
  if (!KeysFit(public_key, public_length, private_key, private_length)) return kErrEdKeyLength;
  if (!ContextFits(context, context_length)) return kErrEdContextLength;
  uint8_t ph[kEdPrehashBytes];
  if (int rc = Prehash(input, length, prehashed, ph)) return rc;
  return SignWith({1, context, context_length}, ph, sizeof ph, public_key, private_key, out);
}

int Ed448Verify(const uint8_t* message, size_t length, const uint8_t* context, int context_length,
                const uint8_t* public_key, int public_length, const uint8_t* signature, int signature_length) {
  if (!ContextFits(context, context_length)) return 0;
  return VerifyWith({0, context, context_length}, message, length, public_key, public_length, signature,
                    signature_length);
}

int Ed448PhVerify(const uint8_t* input, size_t length, bool prehashed, const uint8_t* context, int context_length,
                  const uint8_t* public_key, int public_length, const uint8_t* signature, int signature_length) {
  uint8_t ph[kEdPrehashBytes];
  if (!ContextFits(context, context_length) || Prehash(input, length, prehashed, ph)) return 0;
  return VerifyWith({1, context, context_length}, ph, sizeof ph, public_key, public_length, signature,
                    signature_length);
}

int Ed448PublicFromPrivate(const ByteString& priv, ByteString& pub) {
  if (priv.length() != kEd448KeyBytes) return kErrEdKeyLength;
  Ed448Scalar s;
  if (int rc = ExpandKey(priv.bytes(), s, nullptr)) return rc;
  Point a;
  MulBase(&a, s);
  explicit_bzero(s, sizeof s);
  int rc = pub.SetData(kEd448KeyBytes, nullptr);
  if (!rc) Encode(pub.bytes(), a);
  explicit_bzero(&a, sizeof a);
  return rc;
}

}  // namespace tw
