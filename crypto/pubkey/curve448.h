// Arithmetic in GF(p), p = 2^448 - 2^224 - 1, and the X448 function (Diffie-Hellman on
// Curve448).
//
// Keys, u-coordinates and field encodings are 56 bytes, little-endian. Nothing here allocates or
// keeps state; the ladder, its swaps and the reductions run in constant time.
#pragma once

#include <cstdint>

#include "crypto/pubkey/curve25519.h"

namespace tw {

inline constexpr int kX448Bytes = 56;

// A field element as eight 56-bit limbs, limb i of weight 2^(56 i). Because 2^448 = 2^224 + 1
// mod p, a carry out of limb 7 re-enters limb 0 and limb 4. Limbs may run over 56 bits after an
// addition: multiplication takes limbs up to 2^59 (a sum of up to eight carried elements),
// subtraction carries its result and takes a subtrahend with limbs under 2^58 (a sum of three).
struct Fe448 {
  uint64_t v[8];
};

void Fe448Zero(Fe448* h);
void Fe448One(Fe448* h);
void Fe448Copy(Fe448* h, const Fe448& f);
void Fe448Add(Fe448* h, const Fe448& f, const Fe448& g);
void Fe448Sub(Fe448* h, const Fe448& f, const Fe448& g);
void Fe448Neg(Fe448* h, const Fe448& f);
void Fe448AddWord(Fe448* h, const Fe448& f, uint32_t w);
void Fe448SubWord(Fe448* h, const Fe448& f, uint32_t w);
// Adds k p limb by limb (k at most 8), so that a following limb-wise subtraction of an element
// with limbs under k 2^56 cannot go below zero.
void Fe448Bias(Fe448* h, uint32_t k);
void Fe448Mul(Fe448* h, const Fe448& f, const Fe448& g);
void Fe448Sq(Fe448* h, const Fe448& f);
void Fe448MulWord(Fe448* h, const Fe448& f, uint32_t w);
// Every limb back to 56 bits, the top carry folded into limbs 0 and 4.
void Fe448WeakReduce(Fe448* h);
// The canonical value below p.
void Fe448StrongReduce(Fe448* h);
void Fe448Invert(Fe448* h, const Fe448& f);
// h = 1 / sqrt(f) = f^((p-3)/4); 1 when f is a nonzero square (h^2 f = 1), else 0.
int Fe448InverseSqrt(Fe448* h, const Fe448& f);
// out[i] = 1 / in[i] for n elements with one inversion (in and out must not overlap). A zero
// element makes every output zero and gives 0x90003.
int Fe448BatchInvert(Fe448* out, const Fe448* in, int n);

void Fe448CSwap(Fe448* f, Fe448* g, unsigned b);
// Negates f when b is 1, in constant time.
void Fe448CNeg(Fe448* f, unsigned b);
int Fe448IsZero(const Fe448& f);
int Fe448IsNegative(const Fe448& f);  // the lowest bit of the canonical value

// Reads 56 bytes (length at least 56); 1 when the value read is below p, 0 otherwise (the value
// is kept as read either way). 0 as well when the buffer is too short, leaving h zero.
int Fe448Decode(Fe448* h, const uint8_t* s, int length);
// The canonical value, 56 bytes; 0x90001 when the buffer is under 56.
int Fe448Encode(uint8_t* s, int length, const Fe448& f);

// RFC 7748 X448 by the Montgomery ladder on a clamped copy of the scalar. 0x90001 unless all three
// buffers are 56 bytes; 0x90002 when the result is all zero (a small-order peer point).
int X448ScalarMult(const uint8_t* scalar, int scalarLength, const uint8_t* u, int uLength, uint8_t* out,
                   int outLength);
int X448(const uint8_t* scalar, int scalarLength, const uint8_t* u, int uLength, uint8_t* out, int outLength);

}  // namespace tw
