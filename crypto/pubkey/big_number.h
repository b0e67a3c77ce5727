// Signed arbitrary-precision integers for the finite-field public-key code (RSA, DSA, DH and the
// prime search). Each operation writes its result into a destination, which may be one of the
// operands. Storage is wiped when released.
#pragma once

#include <cstdint>

#include "crypto/pubkey/limb_arith.h"
#include "crypto/symmetric/random_source.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrDivideByZero = 2001;
constexpr int kErrNoInverse = 2002;
constexpr int kErrModulusNotPositive = 2003;
constexpr int kErrNegativeExponent = 2004;
constexpr int kErrInvalidArgument = 202;

class BigNumber {
 public:
  BigNumber() = default;
  explicit BigNumber(int64_t v) { SetInt64(v); }

  // Big-endian unsigned bytes with a sign; leading zeros dropped, all-zero input gives zero.
  void SetBytes(const void* bytes, int n, int sign = 1);
  void SetBytes(const ByteString& s) { SetBytes(s.data(), s.length(), 1); }
  // Big-endian two's-complement bytes; a first byte of 0x80 or above is negative.
  void SetTwosComplement(const void* bytes, int n);
  // Digits in radix 2 to 32 (0-9, then letters either case); a bad radix or digit gives zero.
  void SetDigits(const char* text, int radix);
  void SetInt64(int64_t v);
  // 32-bit words, most significant first.
  void SetWords(const uint32_t* words, int count, int sign);
  // A random value of exactly bits bits (bit bits-1 set). 202 for bits below 1, or the random
  // source's code; the value is zero after a failure.
  int SetRandomBits(int bits, RandomSource& random);
  void SetZero();

  // bit length / 8 + 1 bytes of big-endian two's complement (0x80 gives 00 80, zero gives 00).
  int ToBytes(ByteString& out) const;
  // The magnitude as big-endian bytes without leading zeros, left-padded to width when shorter.
  int ToMagnitude(ByteString& out, int width = 0) const;

  int sign() const { return sign_; }
  bool IsZero() const { return sign_ == 0; }
  bool IsOne() const { return sign_ == 1 && mag_.size() == 1 && mag_[0] == 1; }
  bool IsEven() const { return mag_.empty() || (mag_[0] & 1) == 0; }
  // For a negative value, the bit length of its two's complement.
  int BitLength() const;
  // Two's-complement view; beyond the words the sign's fill bit.
  bool TestBit(int k) const;
  // -1 for zero.
  int LowestSetBit() const;
  // 32-bit word k from the low end, two's-complement view.
  uint32_t WordFromLow(int k) const;
  int Compare(const BigNumber& other) const;
  int CompareMagnitude(const BigNumber& other) const;
  bool Equals(const BigNumber& other) const { return Compare(other) == 0; }

  static void Add(const BigNumber& a, const BigNumber& b, BigNumber& out);
  static void Sub(const BigNumber& a, const BigNumber& b, BigNumber& out);
  static void Mul(const BigNumber& a, const BigNumber& b, BigNumber& out);
  static void Sqr(const BigNumber& a, BigNumber& out);
  // Shifts of the value (arithmetic: a negative value shifted right rounds toward -infinity).
  static void ShiftLeft(const BigNumber& a, int bits, BigNumber& out);
  static void ShiftRight(const BigNumber& a, int bits, BigNumber& out);
  // Truncating division: a = q*b + r with r taking a's sign. 2001 for b = 0. q or r may be null.
  static int DivMod(const BigNumber& a, const BigNumber& b, BigNumber* q, BigNumber* r);
  // a mod m in [0, m); 2003 when m is not positive.
  static int Mod(const BigNumber& a, const BigNumber& m, BigNumber& out);
  // |a| mod w; w must be non-zero.
  static uint32_t RemWord(const BigNumber& a, uint32_t w);
  // a^e; 2004 for a negative e.
  static int Pow(const BigNumber& a, int e, BigNumber& out);
  // b^e mod m. 2003 for m <= 0; a negative e inverts b first (2002 when it cannot).
  static int ModExp(const BigNumber& b, const BigNumber& e, const BigNumber& m, BigNumber& out);
  // The same for secret exponents over an odd modulus: a fixed window walked over exp_bits bits
  // (the modulus length when 0, more when e is longer), with table reads that touch every entry.
  static int ModExpSecret(const BigNumber& b, const BigNumber& e, const BigNumber& m, BigNumber& out,
                          int exp_bits = 0);
  // Right-to-left square-and-multiply with a reduction after each step; 2003 for m <= 0.
  static int ModExpPlain(const BigNumber& b, const BigNumber& e, const BigNumber& m, BigNumber& out);
  // a^{-1} mod m; 2003 for m <= 0, 2002 when gcd(a, m) != 1; anything modulo 1 gives 0.
  static int ModInverse(const BigNumber& a, const BigNumber& m, BigNumber& out);

  static const BigNumber& One();
  static const BigNumber& Zero();

  // Limbs of the magnitude, least significant first, no high zero limb.
  const LimbVector& limbs() const { return mag_; }
  void SetLimbs(const Limb* limbs, size_t n, int sign);

 private:
  void Normalize();
  void Swap(BigNumber& other) {
    mag_.swap(other.mag_);
    int s = sign_;
    sign_ = other.sign_;
    other.sign_ = s;
  }
  static void AddSigned(const BigNumber& a, const BigNumber& b, int b_sign, BigNumber& out);

  int sign_ = 0;
  LimbVector mag_;
};

}  // namespace tw
