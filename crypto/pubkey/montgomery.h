// Montgomery arithmetic over one odd modulus: products with 128-bit limb products, a dedicated
// squaring with its own reduction, and windowed exponentiation. On processors with MULX and
// ADCX/ADOX the products run two carry chains at once, in straight-line code for the usual sizes;
// with AVX-512 IFMA the exponentiations run in radix 2^52 instead, eight limbs to a vector. The
// kernels are chosen when a context is made, under the processor-feature mask.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/pubkey/big_number.h"

namespace tw {

// The radix 2^52 form of a modulus: limbs of 52 bits in groups of eight lanes, R = 2^(52*limbs)
// with 4m < R, and R^2 mod m. Empty (no lanes) when the processor or the size does not suit.
struct MontRadix52 {
  size_t limbs = 0;
  size_t lanes = 0;
  uint64_t k0 = 0;  // -m^-1 mod 2^52
  LimbVector m, rr;
};

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
  // The same on fixed widths, nothing normalised, for secret values: an limbs (each product's
  // inputs below R) in, n limbs out.
  void ToMontLimbs(const Limb* a, size_t an, Limb* out) const;
  void FromMontLimbs(const Limb* a, Limb* out) const;
  // a (an limbs, any value) mod m, n limbs out, in a time that follows an only.
  void Reduce(const Limb* a, size_t an, Limb* out) const;
  // r = a*b/R mod m; r may alias either input.
  void Mul(Limb* r, const Limb* a, const Limb* b) const;
  void Sqr(Limb* r, const Limb* a) const;
  // b^e mod m for b in [0, m) and e >= 0. A secret exponent runs a fixed window over exp_bits
  // bits (the modulus length when 0; more when e is longer) with table reads that touch every
  // entry.
  void Exp(const BigNumber& b, const BigNumber& e, bool secret, BigNumber& out, int exp_bits = 0) const;
  // c1: b1^e1 and c2: b2^e2 for secret exponents, as Exp does each; in lockstep when both moduli
  // take the same radix 2^52 size, so that the two chains of products hide each other's latency.
  static void ExpPair(const MontgomeryContext& c1, const BigNumber& b1, const BigNumber& e1,
                      const MontgomeryContext& c2, const BigNumber& b2, const BigNumber& e2, BigNumber& out1,
                      BigNumber& out2);
  // Exp and ExpPair with bases and results as n limbs of their modulus, nothing normalised.
  void ExpLimbs(const Limb* b, const BigNumber& e, bool secret, Limb* out, int exp_bits = 0) const;
  static void ExpPairLimbs(const MontgomeryContext& c1, const Limb* b1, const BigNumber& e1,
                           const MontgomeryContext& c2, const Limb* b2, const BigNumber& e2, Limb* out1, Limb* out2);
  // b1^e1 * b2^e2 mod m for bases in [0, m) and e1, e2 >= 0, both exponents walked together by
  // sliding windows: variable time, for public values only.
  void Exp2(const BigNumber& b1, const BigNumber& e1, const BigNumber& b2, const BigNumber& e2,
            BigNumber& out) const;

 private:
  using MulFn = void (*)(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb minv, size_t n);
  using SqrFn = void (*)(Limb* r, const Limb* a, const Limb* m, Limb minv, size_t n);

  BigNumber m_;
  BigNumber rr_;  // R^2 mod m
  LimbVector rrl_;  // the same as n limbs
  MulFn mul_ = nullptr;
  SqrFn sqr_ = nullptr;
  size_t n_ = 0;
  int bits_ = 0;  // of the modulus
  Limb m0inv_ = 0;
  MontRadix52 r52_;
};

}  // namespace tw
