// Point arithmetic on short-Weierstrass curves over prime fields. The fast road is an EcGroup:
// the curve's field and scalar arithmetic in fixed-width Montgomery form, complete projective
// formulas (no special case for the identity or for doubling), a fixed 4-bit window with
// constant-time table reads for secret scalars, and for the named curves a fixed-base table built
// once on first use. Points cross the interface as big-endian coordinates of the field's width.
#pragma once

#include <cstdint>
#include <memory>

#include "crypto/pubkey/ec_curve_params.h"
#include "crypto/pubkey/wide_int.h"

namespace tw {

constexpr int kErrEcPoint = 1401;

class EcGroup {
 public:
  virtual ~EcGroup() = default;
  int field_bytes() const { return field_bytes_; }
  int order_bytes() const { return order_bytes_; }
  int order_bits() const { return order_bits_; }

  // Whether (x, y) are below p and satisfy the curve equation; each is field_bytes() long.
  virtual bool OnCurve(const uint8_t* x, const uint8_t* y) const = 0;
  // out = k P (P the base point when px is null), k of klen big-endian bytes treated as secret:
  // the walk and every table read are fixed by the curve alone. P must be on the curve. out gets
  // 2 field_bytes() (x then y); *infinity tells the identity (out then all zero). 1401 for a
  // scalar longer than the curve's limbs.
  virtual int MulSecret(const uint8_t* k, int klen, const uint8_t* px, const uint8_t* py, uint8_t* out,
                        bool* infinity) const = 0;
  // ECDSA on the scalar side: s = k^-1 (e + d r) mod n, with r = (k G).x mod n. e is the digest
  // already cut to the order's bits. Each output is order_bytes() long; *zero tells r or s = 0.
  virtual int SignCore(const uint8_t* k, int klen, const uint8_t* d, int dlen, const uint8_t* e, int elen,
                       uint8_t* r, uint8_t* s, bool* zero) const = 0;
  // The verdict for r, s below n and non-zero, Q on the curve.
  virtual bool VerifyCore(const uint8_t* e, int elen, const uint8_t* r, int rlen, const uint8_t* s, int slen,
                          const uint8_t* qx, const uint8_t* qy) const = 0;
  // A big-endian value reduced mod n into order_bytes() bytes, in constant time; up to twice the
  // limbs of n. 1401 when longer.
  virtual int ReduceScalar(const uint8_t* v, int vlen, uint8_t* out) const = 0;

 protected:
  int field_bytes_ = 0, order_bytes_ = 0, order_bits_ = 0;
};

// The group of prime-field parameters: the cached one of a table slot, or one made into holder
// for explicit parameters. Null for a binary field, a missing part or a modulus over 576 bits.
const EcGroup* EcGroupFor(const EcCurveParams& params, std::unique_ptr<EcGroup>& holder);

// k P in affine form for any prime curve (b follows from P); the identity as x = y = 0.
int EcScalarMulPrime(const WideInt& px, const WideInt& py, const WideInt& p, const WideInt& a, const WideInt& k,
                     int field_id, WideInt& x, WideInt& y);
// Affine sum with the identity written as (0, 0) and flagged as such: a point whose x alone is 0
// is an ordinary point.
int EcAffineAdd(const WideInt& x1, const WideInt& y1, bool inf1, const WideInt& x2, const WideInt& y2, bool inf2,
                const WideInt& p, const WideInt& a, int field_id, WideInt& x3, WideInt& y3, bool* inf3);
// r with r^2 = v mod p; false when v has no root.
bool EcModSqrt(const WideInt& v, const WideInt& p, WideInt& r);
// y with y^2 = x^3 + a x + b and the given low bit; false when x is on no point.
bool EcDecompressY(int bit, const WideInt& x, const WideInt& a, const WideInt& b, const WideInt& p, int field_id,
                   WideInt& y);

}  // namespace tw
