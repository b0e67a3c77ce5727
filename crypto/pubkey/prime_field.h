// Arithmetic on WideInt for the elliptic-curve code: signed add, subtract and multiply, remainder,
// inverse and power, byte conversions, the fixed-width helpers modulo a prime, and the reduction
// dispatcher with the word-level reductions of the NIST primes. Nothing allocates.
#pragma once

#include <cstdint>

#include "crypto/pubkey/wide_int.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrWideIntZeroModulus = 20481;
constexpr int kErrWideIntWidth = 1419;

// out = a + b, a - b, a * b with signs; out may be an input. 20480 for an oversized operand.
int WideAdd(const WideInt& a, const WideInt& b, WideInt& out);
int WideSub(const WideInt& a, const WideInt& b, WideInt& out);
int WideMul(const WideInt& a, const WideInt& b, WideInt& out);
// |a| mod m, shift-and-subtract; a negative a gives m - (|a| mod m). 20480, or 20481 for m = 0.
int WideMod(const WideInt& a, const WideInt& m, WideInt& out);
// a^-1 mod m; 20481 for m = 0 and 2002 when there is no inverse.
int WideModInverse(const WideInt& a, const WideInt& m, WideInt& out);
// a^e mod m in Montgomery form, m odd. 20480 or 20481.
int WideModPow(const WideInt& a, const WideInt& e, const WideInt& m, WideInt& out);
// Signed comparison: -1, 0 or 1.
int WideCompare(const WideInt& a, const WideInt& b);

// Big-endian unsigned bytes; 20480 when they need more than 384 words (the value is then zero).
int WideIntFromBytes(WideInt& x, const uint8_t* bytes, int n);
inline int WideIntFromBytes(WideInt& x, const ByteString& s) { return WideIntFromBytes(x, s.bytes(), s.length()); }
// Exactly width big-endian bytes of |x|; 1419 when it needs more.
int WideIntToBytes(const WideInt& x, int width, ByteString& out);
// words random words from a local random source; the source's code on failure.
int WideIntRandom(WideInt& x, int words);

// Fixed-width helpers for operands already below the prime p.
int FieldAdd(const WideInt& a, const WideInt& b, const WideInt& p, WideInt& out);
int FieldSub(const WideInt& a, const WideInt& b, const WideInt& p, WideInt& out);
int FieldHalve(const WideInt& a, const WideInt& p, WideInt& out);
int FieldInverse(const WideInt& a, const WideInt& p, WideInt& out);

// x mod p by the fixed reduction of the field id (0x6101 to 0x6105), else by WideMod.
int ReduceByField(WideInt& x, const WideInt& p, int field_id);
int MulModField(const WideInt& a, const WideInt& b, const WideInt& p, int field_id, WideInt& out);

}  // namespace tw
