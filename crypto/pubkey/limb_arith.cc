#include "crypto/pubkey/limb_arith.h"

namespace tw {
namespace limb {

Limb AddN(Limb* r, const Limb* a, const Limb* b, size_t n) {
  Limb c = 0;
  for (size_t i = 0; i < n; ++i) {
    DLimb s = static_cast<DLimb>(a[i]) + b[i] + c;
    r[i] = static_cast<Limb>(s);
    c = static_cast<Limb>(s >> 64);
  }
  return c;
}

Limb SubN(Limb* r, const Limb* a, const Limb* b, size_t n) {
  Limb borrow = 0;
  for (size_t i = 0; i < n; ++i) {
    DLimb d = static_cast<DLimb>(a[i]) - b[i] - borrow;
    r[i] = static_cast<Limb>(d);
    borrow = static_cast<Limb>(d >> 64) & 1;
  }
  return borrow;
}

Limb MulAdd1(Limb* r, const Limb* a, size_t n, Limb b) {
  Limb c = 0;
  for (size_t i = 0; i < n; ++i) {
    DLimb p = static_cast<DLimb>(a[i]) * b + r[i] + c;
    r[i] = static_cast<Limb>(p);
    c = static_cast<Limb>(p >> 64);
  }
  return c;
}

Limb Mul1(Limb* r, const Limb* a, size_t n, Limb b) {
  Limb c = 0;
  for (size_t i = 0; i < n; ++i) {
    DLimb p = static_cast<DLimb>(a[i]) * b + c;
    r[i] = static_cast<Limb>(p);
    c = static_cast<Limb>(p >> 64);
  }
  return c;
}

void Mul(Limb* r, const Limb* a, size_t an, const Limb* b, size_t bn) {
  if (an == 0 || bn == 0) {
    for (size_t i = 0; i < an + bn; ++i) r[i] = 0;
    return;
  }
  r[an] = Mul1(r, a, an, b[0]);
  for (size_t j = 1; j < bn; ++j) r[an + j] = MulAdd1(r + j, a, an, b[j]);
}

void Sqr(Limb* r, const Limb* a, size_t n) {
  for (size_t i = 0; i < 2 * n; ++i) r[i] = 0;
  if (n == 0) return;
  // Cross products a[i]*a[j], i < j, once.
  for (size_t i = 0; i + 1 < n; ++i) r[i + n] = MulAdd1(r + 2 * i + 1, a + i + 1, n - i - 1, a[i]);
  // Double them.
  Limb top = 0;
  for (size_t i = 0; i < 2 * n; ++i) {
    Limb v = r[i];
    r[i] = (v << 1) | top;
    top = v >> 63;
  }
  // Add the squares on the diagonal.
  Limb c = 0;
  for (size_t i = 0; i < n; ++i) {
    DLimb sq = static_cast<DLimb>(a[i]) * a[i];
    DLimb lo = static_cast<DLimb>(r[2 * i]) + static_cast<Limb>(sq) + c;
    r[2 * i] = static_cast<Limb>(lo);
    DLimb hi = static_cast<DLimb>(r[2 * i + 1]) + static_cast<Limb>(sq >> 64) + static_cast<Limb>(lo >> 64);
    r[2 * i + 1] = static_cast<Limb>(hi);
    c = static_cast<Limb>(hi >> 64);
  }
}

int Cmp(const Limb* a, const Limb* b, size_t n) {
  for (size_t i = n; i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

Limb NegInverse(Limb a) {
  Limb x = a * (2 - a * a);  // right to 6 bits
  for (int i = 0; i < 4; ++i) x *= 2 - a * x;
  return 0 - x;
}

int BitLength(Limb a) { return a == 0 ? 0 : 64 - __builtin_clzll(a); }

}  // namespace limb
}  // namespace tw
