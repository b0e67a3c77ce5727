// Montgomery arithmetic over one odd modulus: products with 128-bit limb products, a dedicated
// squaring with its own reduction, and windowed exponentiation.
#pragma once

#include <cstddef>

#include "crypto/pubkey/big_number.h"

namespace tw {

class MontgomeryContext {
 public:
  // Largest modulus handled here, in limbs (16384 bits); larger ones go the plain way.
  static constexpr size_t kMaxLimbs = 256;

  // m must be odd and above 1; 2003 otherwise, 202 when it is too large.
  int Init(const BigNumber& m);
  bool ready() const { return n_ != 0; }
  size_t limbs() const { return n_; }
  const BigNumber& modulus() const { return m_; }

  // a (in [0, m)) into Montgomery form, n limbs at out.
  void ToMont(const BigNumber& a, Limb* out) const;
  void FromMont(const Limb* a, BigNumber& out) const;
  // r = a*b/R mod m; r may alias either input.
  void Mul(Limb* r, const Limb* a, const Limb* b) const;
  void Sqr(Limb* r, const Limb* a) const;
  // b^e mod m for b in [0, m) and e >= 0. A secret exponent runs a fixed window over exp_bits
  // bits (the modulus length when 0; more when e is longer) with table reads that touch every
  // entry.
  void Exp(const BigNumber& b, const BigNumber& e, bool secret, BigNumber& out, int exp_bits = 0) const;

 private:
  using MulFn = void (*)(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb minv, size_t n);
  using SqrFn = void (*)(Limb* r, const Limb* a, const Limb* m, Limb minv, size_t n);

  BigNumber m_;
  BigNumber rr_;  // R^2 mod m
  MulFn mul_ = nullptr;
  SqrFn sqr_ = nullptr;
  size_t n_ = 0;
  Limb m0inv_ = 0;
};

}  // namespace tw
