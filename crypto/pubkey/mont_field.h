// Fixed-width arithmetic modulo an odd number below 2^(64 N) in Montgomery form: the field and
// scalar arithmetic under the elliptic-curve code. Every operation runs in time that depends on N
// only, so secret coordinates and scalars pass through it safely. Nothing allocates.
#pragma once

#include <cstdint>
#include <cstring>

#include <x86intrin.h>

namespace tw {

template <int N>
struct MontField {
  using Elem = uint64_t[N];
  uint64_t m[N];        // the modulus
  uint64_t rr[N];       // R^2 mod m, R = 2^(64 N)
  uint64_t one[N];      // R mod m
  uint64_t n0;          // -m^-1 mod 2^64
  uint64_t m_minus_2[N];
  int bits;

  // m must be odd and non-zero.
  void Init(const uint64_t* modulus) {
    std::memcpy(m, modulus, sizeof(m));
    uint64_t inv = 1;
    for (int i = 0; i < 6; ++i) inv *= 2 - m[0] * inv;
    n0 = 0 - inv;
    // R mod m by doubling 1 through 64 N steps, then R^2 by another 64 N doublings.
    uint64_t x[N] = {1};
    for (int i = 0; i < 64 * N; ++i) Add(x, x, x, /*reduce from below*/ true);
    std::memcpy(one, x, sizeof(one));
    for (int i = 0; i < 64 * N; ++i) Add(x, x, x, true);
    std::memcpy(rr, x, sizeof(rr));
    uint64_t two[N] = {2};
    SubRaw(m_minus_2, m, two);
    bits = 0;
    for (int i = N - 1; i >= 0 && !bits; --i)
      if (m[i]) bits = 64 * i + 64 - __builtin_clzll(m[i]);
  }

  static uint64_t AddRaw(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    unsigned char c = 0;
    for (int i = 0; i < N; ++i) {
      unsigned long long v;
      c = _addcarry_u64(c, a[i], b[i], &v);
      r[i] = v;
    }
    return c;
  }
  static uint64_t SubRaw(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    unsigned char c = 0;
    for (int i = 0; i < N; ++i) {
      unsigned long long v;
      c = _subborrow_u64(c, a[i], b[i], &v);
      r[i] = v;
    }
    return c;
  }
  // r = (top:t) - m when that does not go negative, else t; t below 2m.
  void CondSub(uint64_t* r, const uint64_t* t, uint64_t top) const {
    uint64_t d[N];
    const uint64_t borrow = SubRaw(d, t, m);
    const uint64_t keep = 0 - static_cast<uint64_t>(borrow & (top ^ 1));  // all ones: keep t
    for (int i = 0; i < N; ++i) r[i] = (t[i] & keep) | (d[i] & ~keep);
  }
  // Operands below m (the doubling in Init passes values below m too).
  void Add(uint64_t* r, const uint64_t* a, const uint64_t* b, bool = false) const {
    uint64_t t[N];
    const uint64_t c = AddRaw(t, a, b);
    CondSub(r, t, c);
  }
  void Sub(uint64_t* r, const uint64_t* a, const uint64_t* b) const {
    uint64_t t[N], u[N];
    const uint64_t mask = 0 - SubRaw(t, a, b);
    for (int i = 0; i < N; ++i) u[i] = m[i] & mask;
    AddRaw(r, t, u);
  }
  void Neg(uint64_t* r, const uint64_t* a) const {
    uint64_t z[N] = {};
    Sub(r, z, a);
  }
  // a b R^-1 mod m for a b < m R; word-by-word interleaved reduction.
  void Mul(uint64_t* r, const uint64_t* a, const uint64_t* b) const {
    uint64_t t[N + 2] = {};
    for (int i = 0; i < N; ++i) {
      unsigned __int128 c = 0;
      for (int j = 0; j < N; ++j) {
        c += static_cast<unsigned __int128>(a[j]) * b[i] + t[j];
        t[j] = static_cast<uint64_t>(c);
        c >>= 64;
      }
      c += t[N];
      t[N] = static_cast<uint64_t>(c);
      t[N + 1] = static_cast<uint64_t>(c >> 64);
      const uint64_t q = t[0] * n0;
      c = static_cast<unsigned __int128>(q) * m[0] + t[0];
      c >>= 64;
      for (int j = 1; j < N; ++j) {
        c += static_cast<unsigned __int128>(q) * m[j] + t[j];
        t[j - 1] = static_cast<uint64_t>(c);
        c >>= 64;
      }
      c += t[N];
      t[N - 1] = static_cast<uint64_t>(c);
      t[N] = t[N + 1] + static_cast<uint64_t>(c >> 64);
    }
    CondSub(r, t, t[N]);
  }
  void Sqr(uint64_t* r, const uint64_t* a) const { Mul(r, a, a); }
  void ToMont(uint64_t* r, const uint64_t* a) const { Mul(r, a, rr); }
  void FromMont(uint64_t* r, const uint64_t* a) const {
    uint64_t o[N] = {1};
    Mul(r, a, o);
  }
  // a^e for a public exponent e of N limbs, left to right; a and r in Montgomery form.
  void Pow(uint64_t* r, const uint64_t* a, const uint64_t* e) const {
    uint64_t acc[N], base[N];
    std::memcpy(base, a, sizeof(base));
    std::memcpy(acc, one, sizeof(acc));
    // Each bit is read as a sign, whose test sets the flags afresh: a bit test would merge them
    // with those of the last product, and memcheck would take the branch for a secret one.
    for (int i = N - 1; i >= 0; --i) {
      uint64_t bits = e[i];
      for (int b = 0; b < 64; ++b, bits <<= 1) {
        Sqr(acc, acc);
        if (static_cast<int64_t>(bits) < 0) Mul(acc, acc, base);
      }
    }
    std::memcpy(r, acc, sizeof(acc));
  }
  // a^-1 by Fermat (m prime); zero maps to zero. The exponent is public, so the walk is fixed.
  void Inv(uint64_t* r, const uint64_t* a) const { Pow(r, a, m_minus_2); }

  static uint64_t IsZeroMask(const uint64_t* a) {
    uint64_t acc = 0;
    for (int i = 0; i < N; ++i) acc |= a[i];
    return static_cast<uint64_t>(0) - static_cast<uint64_t>(((acc | (0 - acc)) >> 63) ^ 1);
  }
  static void Select(uint64_t* r, const uint64_t* a, uint64_t mask) {
    for (int i = 0; i < N; ++i) r[i] ^= (r[i] ^ a[i]) & mask;
  }
  // Whether a < m; for public values.
  bool Below(const uint64_t* a) const {
    uint64_t d[N];
    return SubRaw(d, a, m) != 0;
  }
};

// Big-endian bytes into N limbs; false when they do not fit.
template <int N>
bool LimbsFromBytes(uint64_t* out, const uint8_t* b, int n) {
  std::memset(out, 0, 8 * N);
  for (int i = 0; i < n; ++i) {
    const int pos = n - 1 - i;  // byte weight
    if (pos >= 8 * N) {
      if (b[i]) return false;
      continue;
    }
    out[pos / 8] |= static_cast<uint64_t>(b[i]) << (8 * (pos % 8));
  }
  return true;
}

// N limbs into exactly width big-endian bytes (high limbs beyond width are dropped).
template <int N>
void LimbsToBytes(uint8_t* out, int width, const uint64_t* a) {
  for (int i = 0; i < width; ++i) {
    const int pos = width - 1 - i;
    out[i] = pos < 8 * N ? static_cast<uint8_t>(a[pos / 8] >> (8 * (pos % 8))) : 0;
  }
}

}  // namespace tw
