#include "crypto/pubkey/prime_field.h"

#include <cstring>

#include "crypto/pubkey/big_number.h"
#include "crypto/symmetric/random_source.h"

namespace tw {
namespace {

constexpr int kMax = WideInt::kMaxWords;

// Word recipes of the NIST reductions: each term lists the source word for every result word,
// most significant first as the published formulas write them, -1 for a zero word.
struct Term {
  int coef;
  int8_t w[12];
};
constexpr Term kP224Terms[] = {
    {1, {6, 5, 4, 3, 2, 1, 0}},        {1, {10, 9, 8, 7, -1, -1, -1}},  {1, {-1, 13, 12, 11, -1, -1, -1}},
    {-1, {13, 12, 11, 10, 9, 8, 7}}, {-1, {-1, -1, -1, -1, 13, 12, 11}},
};
constexpr Term kP256Terms[] = {
    {1, {7, 6, 5, 4, 3, 2, 1, 0}},           {2, {15, 14, 13, 12, 11, -1, -1, -1}},
    {2, {-1, 15, 14, 13, 12, -1, -1, -1}},   {1, {15, 14, -1, -1, -1, 10, 9, 8}},
    {1, {8, 13, 15, 14, 13, 11, 10, 9}},     {-1, {10, 8, -1, -1, -1, 13, 12, 11}},
    {-1, {11, 9, -1, -1, 15, 14, 13, 12}},   {-1, {12, -1, 10, 9, 8, 15, 14, 13}},
    {-1, {13, -1, 11, 10, 9, -1, 15, 14}},
};
constexpr Term kP384Terms[] = {
    {1, {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
    {2, {-1, -1, -1, -1, -1, 23, 22, 21, -1, -1, -1, -1}},
    {1, {23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12}},
    {1, {20, 19, 18, 17, 16, 15, 14, 13, 12, 23, 22, 21}},
    {1, {19, 18, 17, 16, 15, 14, 13, 12, 20, -1, 23, -1}},
    {1, {-1, -1, -1, -1, 23, 22, 21, 20, -1, -1, -1, -1}},
    {1, {-1, -1, -1, -1, -1, -1, 23, 22, 21, -1, -1, 20}},
    {-1, {22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 23}},
    {-1, {-1, -1, -1, -1, -1, -1, -1, 23, 22, 21, 20, -1}},
    {-1, {-1, -1, -1, -1, -1, -1, -1, 23, 23, -1, -1, -1}},
};
// P-192 in 64-bit words (c5..c0), written here as pairs of 32-bit words.
constexpr Term kP192Terms[] = {
    {1, {5, 4, 3, 2, 1, 0}},
    {1, {-1, -1, 7, 6, 7, 6}},
    {1, {9, 8, 9, 8, -1, -1}},
    {1, {11, 10, 11, 10, 11, 10}},
};
struct Recipe {
  const Term* terms;
  int count;
  int width;  // words of p
};
constexpr Recipe kRecipes[] = {
    {kP192Terms, 4, 6}, {kP224Terms, 5, 7}, {kP256Terms, 9, 8}, {kP384Terms, 10, 12},
};

void SetWords(WideInt& x, const uint32_t* w, int n, bool non_negative) {
  x.SetZero();
  if (n > kMax) n = kMax;
  std::memcpy(x.words(), w, sizeof(uint32_t) * static_cast<size_t>(n));
  x.set_count(n);
  x.Normalize();
  x.set_non_negative(non_negative || x.IsZero());
}

// |a| + |b| into r (n words); the carry out.
uint32_t AddMag(uint32_t* r, const uint32_t* a, const uint32_t* b, int n) {
  uint64_t c = 0;
  for (int i = 0; i < n; ++i) {
    c += static_cast<uint64_t>(a[i]) + b[i];
    r[i] = static_cast<uint32_t>(c);
    c >>= 32;
  }
  return static_cast<uint32_t>(c);
}
uint32_t SubMag(uint32_t* r, const uint32_t* a, const uint32_t* b, int n) {
  uint64_t borrow = 0;
  for (int i = 0; i < n; ++i) {
    const uint64_t d = static_cast<uint64_t>(a[i]) - b[i] - borrow;
    r[i] = static_cast<uint32_t>(d);
    borrow = (d >> 32) & 1;
  }
  return static_cast<uint32_t>(borrow);
}

int AddSigned(const WideInt& a, const WideInt& b, bool negate_b, WideInt& out) {
  if (a.count() > kMax || b.count() > kMax) return kErrWideIntCapacity;
  const bool sa = a.non_negative() || a.IsZero();
  const bool sb = (b.non_negative() || b.IsZero()) != negate_b;
  const int n = a.count() > b.count() ? a.count() : b.count();
  uint32_t r[kMax + 1] = {};
  uint32_t x[kMax] = {}, y[kMax] = {};
  std::memcpy(x, a.words(), 4 * static_cast<size_t>(a.count()));
  std::memcpy(y, b.words(), 4 * static_cast<size_t>(b.count()));
  bool sign = sa;
  if (sa == sb) {
    r[n] = AddMag(r, x, y, n);
    if (r[n] && n >= kMax) return kErrWideIntCapacity;
    SetWords(out, r, n + 1, sign);
    return 0;
  }
  if (SubMag(r, x, y, n)) {
    SubMag(r, y, x, n);
    sign = sb;
  }
  SetWords(out, r, n, sign);
  return 0;
}

// r = 2r + bit against m, for the shift-and-subtract remainder.
void ModStep(uint32_t* r, const uint32_t* m, int n, uint32_t bit) {
  uint32_t top = r[n - 1] >> 31;
  for (int i = n - 1; i > 0; --i) r[i] = (r[i] << 1) | (r[i - 1] >> 31);
  r[0] = (r[0] << 1) | bit;
  uint32_t t[kMax];
  const uint32_t borrow = SubMag(t, r, m, n);
  if (top || !borrow) std::memcpy(r, t, 4 * static_cast<size_t>(n));
}

}  // namespace

int WideCompare(const WideInt& a, const WideInt& b) {
  const bool sa = a.non_negative() || a.IsZero(), sb = b.non_negative() || b.IsZero();
  if (sa != sb) return sa ? 1 : -1;
  const int c = a.CompareMagnitude(b);
  return sa ? c : -c;
}

int WideAdd(const WideInt& a, const WideInt& b, WideInt& out) { return AddSigned(a, b, false, out); }
int WideSub(const WideInt& a, const WideInt& b, WideInt& out) { return AddSigned(a, b, true, out); }

int WideMul(const WideInt& a, const WideInt& b, WideInt& out) {
  const int an = a.count(), bn = b.count();
  if (an > kMax || bn > kMax || an + bn > kMax) return kErrWideIntCapacity;
  uint32_t r[kMax] = {};
  for (int i = 0; i < an; ++i) {
    uint64_t c = 0;
    for (int j = 0; j < bn; ++j) {
      c += static_cast<uint64_t>(a.words()[i]) * b.words()[j] + r[i + j];
      r[i + j] = static_cast<uint32_t>(c);
      c >>= 32;
    }
    r[i + bn] = static_cast<uint32_t>(c);
  }
  SetWords(out, r, an + bn, a.non_negative() == b.non_negative());
  return 0;
}

int WideMod(const WideInt& a, const WideInt& m, WideInt& out) {
  if (a.count() > kMax || m.count() > kMax) return kErrWideIntCapacity;
  if (m.IsZero()) return kErrWideIntZeroModulus;
  const int n = m.count();
  uint32_t r[kMax] = {};
  for (int bit = a.BitLength() - 1; bit >= 0; --bit) ModStep(r, m.words(), n, a.TestBit(bit) ? 1 : 0);
  const bool negative = !a.non_negative();
  bool zero = true;
  for (int i = 0; i < n; ++i) zero = zero && r[i] == 0;
  if (negative && !zero) SubMag(r, m.words(), r, n);
  SetWords(out, r, n, true);
  return 0;
}

int WideModInverse(const WideInt& a, const WideInt& m, WideInt& out) {
  if (m.IsZero()) return kErrWideIntZeroModulus;
  if (a.count() > kMax || m.count() > kMax) return kErrWideIntCapacity;
  // Public values only: the integer layer's extended Euclid serves.
  ByteString ab, mb;
  WideInt am;
  if (int rc = WideMod(a, m, am)) return rc;
  if (int rc = WideIntToBytes(am, 4 * am.count(), ab)) return rc;
  if (int rc = WideIntToBytes(m, 4 * m.count(), mb)) return rc;
  BigNumber x, mod, inv;
  x.SetBytes(ab);
  mod.SetBytes(mb);
  if (int rc = BigNumber::ModInverse(x, mod, inv)) return rc;
  ByteString ib;
  inv.ToMagnitude(ib);
  return WideIntFromBytes(out, ib);
}

int WideModPow(const WideInt& a, const WideInt& e, const WideInt& m, WideInt& out) {
  if (a.count() > kMax || e.count() > kMax || m.count() > kMax) return kErrWideIntCapacity;
  if (m.IsZero()) return kErrWideIntZeroModulus;
  const int n = m.count();
  const uint32_t* mw = m.words();
  // -m^-1 mod 2^32 by Newton steps; the modulus is odd.
  uint32_t inv = 1;
  for (int i = 0; i < 5; ++i) inv *= 2 - mw[0] * inv;
  const uint32_t n0 = 0u - inv;
  auto mont_mul = [&](uint32_t* r, const uint32_t* x, const uint32_t* y) {
    uint32_t t[kMax + 2] = {};
    for (int i = 0; i < n; ++i) {
      uint64_t c = 0;
      for (int j = 0; j < n; ++j) {
        c += static_cast<uint64_t>(x[j]) * y[i] + t[j];
        t[j] = static_cast<uint32_t>(c);
        c >>= 32;
      }
      c += t[n];
      t[n] = static_cast<uint32_t>(c);
      t[n + 1] = static_cast<uint32_t>(c >> 32);
      const uint32_t q = t[0] * n0;
      c = (static_cast<uint64_t>(q) * mw[0] + t[0]) >> 32;
      for (int j = 1; j < n; ++j) {
        c += static_cast<uint64_t>(q) * mw[j] + t[j];
        t[j - 1] = static_cast<uint32_t>(c);
        c >>= 32;
      }
      c += t[n];
      t[n - 1] = static_cast<uint32_t>(c);
      t[n] = t[n + 1] + static_cast<uint32_t>(c >> 32);
    }
    uint32_t d[kMax];
    const uint32_t borrow = SubMag(d, t, mw, n);
    std::memcpy(r, (t[n] || !borrow) ? d : t, 4 * static_cast<size_t>(n));
  };
  // R mod m and a R mod m through the remainder.
  WideInt rmod, am;
  rmod.SetZero();
  if (int rc = rmod.SetBit(32 * n)) return rc;
  if (int rc = WideMod(rmod, m, rmod)) return rc;
  WideInt shifted;
  if (int rc = WideMod(a, m, am)) return rc;
  shifted = am;
  if (int rc = shifted.ShiftLeft(32 * n)) return rc;
  if (int rc = WideMod(shifted, m, am)) return rc;
  uint32_t acc[kMax] = {}, base[kMax] = {};
  std::memcpy(acc, rmod.words(), 4 * static_cast<size_t>(rmod.count()));
  std::memcpy(base, am.words(), 4 * static_cast<size_t>(am.count()));
  for (int bit = e.BitLength() - 1; bit >= 0; --bit) {
    mont_mul(acc, acc, acc);
    if (e.TestBit(bit)) mont_mul(acc, acc, base);
  }
  uint32_t one[kMax] = {1};
  mont_mul(acc, acc, one);
  SetWords(out, acc, n, true);
  return 0;
}

int WideIntFromBytes(WideInt& x, const uint8_t* bytes, int n) {
  x.SetZero();
  if (!bytes || n <= 0) return 0;
  int start = 0;
  while (start < n && bytes[start] == 0) ++start;
  const int len = n - start;
  if (len > 4 * kMax) return kErrWideIntCapacity;
  uint32_t* w = x.words();
  for (int i = 0; i < len; ++i) w[i / 4] |= static_cast<uint32_t>(bytes[n - 1 - i]) << (8 * (i % 4));
  x.set_count((len + 3) / 4);
  return 0;
}

int WideIntToBytes(const WideInt& x, int width, ByteString& out) {
  const int need = (x.BitLength() + 7) / 8;
  if (need > width) return kErrWideIntWidth;
  if (int rc = out.SetData(width, nullptr)) return rc;
  for (int i = 0; i < width; ++i) {
    const int pos = width - 1 - i;
    out.bytes()[i] = static_cast<uint8_t>(x.word(pos / 4) >> (8 * (pos % 4)));
  }
  return 0;
}

int WideIntRandom(WideInt& x, int words) {
  x.SetZero();
  if (words <= 0) return 0;
  if (words > kMax) return kErrWideIntCapacity;
  RandomSource rs;
  const int rc = rs.Fill(x.words(), 4 * words);
  rs.Release();
  if (rc) {
    x.SetZero();
    return rc;
  }
  x.set_count(words);
  x.Normalize();
  return 0;
}

int FieldAdd(const WideInt& a, const WideInt& b, const WideInt& p, WideInt& out) {
  if (int rc = WideAdd(a, b, out)) return rc;
  if (out.CompareMagnitude(p) >= 0) return WideSub(out, p, out);
  return 0;
}
int FieldSub(const WideInt& a, const WideInt& b, const WideInt& p, WideInt& out) {
  if (int rc = WideSub(a, b, out)) return rc;
  if (!out.non_negative()) return WideAdd(out, p, out);
  return 0;
}
int FieldHalve(const WideInt& a, const WideInt& p, WideInt& out) {
  WideInt t = a;
  if (t.TestBit(0))
    if (int rc = WideAdd(t, p, t)) return rc;
  t.ShiftRight(1);
  out = t;
  return 0;
}
int FieldInverse(const WideInt& a, const WideInt& p, WideInt& out) { return WideModInverse(a, p, out); }

int ReduceByField(WideInt& x, const WideInt& p, int field_id) {
  if (x.count() > kMax) return kErrWideIntCapacity;
  const bool fixed = field_id >= 0x6101 && field_id <= 0x6105;
  const int width = p.count();
  // The fixed reductions take values below 2^(2 * width words); anything else goes the long way.
  if (!fixed || x.count() > (field_id == 0x6105 ? 35 : 2 * width) || !x.non_negative()) {
    return WideMod(x, p, x);
  }
  WideInt r;
  if (field_id == 0x6105) {
    uint32_t c[35] = {}, lo[17] = {}, hi[17] = {};
    std::memcpy(c, x.words(), 4 * static_cast<size_t>(x.count()));
    std::memcpy(lo, c, sizeof(lo));
    lo[16] &= 0x1FF;
    for (int i = 0; i < 17; ++i) hi[i] = (c[16 + i] >> 9) | (c[17 + i] << 23);
    uint32_t sum[18] = {};
    sum[17] = AddMag(sum, lo, hi, 17);
    SetWords(r, sum, 18, true);
  } else {
    const Recipe& rec = kRecipes[field_id - 0x6101];
    const int w = rec.width;
    uint32_t c[24] = {};
    std::memcpy(c, x.words(), 4 * static_cast<size_t>(x.count()));
    int64_t acc[13] = {};
    for (int t = 0; t < rec.count; ++t) {
      for (int i = 0; i < w; ++i) {
        const int src = rec.terms[t].w[w - 1 - i];
        if (src >= 0) acc[i] += rec.terms[t].coef * static_cast<int64_t>(c[src]);
      }
    }
    // Signed carry chain; the top word holds a small signed excess.
    uint32_t words[13] = {};
    int64_t carry = 0;
    for (int i = 0; i < w; ++i) {
      const int64_t v = acc[i] + carry;
      words[i] = static_cast<uint32_t>(v);
      carry = (v - static_cast<int64_t>(words[i])) / (int64_t{1} << 32);
    }
    if (carry >= 0) {
      words[w] = static_cast<uint32_t>(carry);
      SetWords(r, words, w + 1, true);
    } else {
      // value = words - |carry| 2^(32 w), built as a signed WideInt.
      WideInt low, high;
      SetWords(low, words, w, true);
      high.SetZero();
      high.AddWord(static_cast<uint32_t>(-carry));
      if (int rc = high.ShiftLeft(32 * w)) return rc;
      if (int rc = WideSub(low, high, r)) return rc;
    }
  }
  while (!r.non_negative() && !r.IsZero())
    if (int rc = WideAdd(r, p, r)) return rc;
  r.Normalize();
  while (r.CompareMagnitude(p) >= 0)
    if (int rc = WideSub(r, p, r)) return rc;
  x = r;
  return 0;
}

int MulModField(const WideInt& a, const WideInt& b, const WideInt& p, int field_id, WideInt& out) {
  if (int rc = WideMul(a, b, out)) return rc;
  return ReduceByField(out, p, field_id);
}

}  // namespace tw
