// Arithmetic in GF(2^255 - 19) and the X25519 function (Diffie-Hellman on Curve25519).
//
// Keys, u-coordinates and results are 32 bytes, little-endian. Nothing here allocates or keeps
// state. Everything that touches a secret (the ladder, its swaps, the final reduction) runs in
// constant time: no branch and no memory index depends on secret data.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

inline constexpr int kErrCurveLength = 0x90001;      // a buffer of the wrong length
inline constexpr int kErrCurveZeroResult = 0x90002;  // all-zero shared secret: small-order peer
inline constexpr int kErrCurveRange = 0x90003;       // a value that does not fit the field
inline constexpr int kErrCurve25519Key = 1401;       // private part of a key record is not 32 bytes

inline constexpr int kX25519Bytes = 32;

// A field element as five 51-bit limbs (radix 2^51), limb i of weight 2^(51 i). Values stay
// unreduced between operations: limbs may exceed 51 bits after an addition and are brought back by
// the carry chain of the next multiplication. Multiplication and squaring take limbs up to 2^54
// (a sum of up to eight carried elements); subtraction carries its result and takes a subtrahend
// with limbs under 2^53 (a sum of up to three).
struct Fe25519 {
  uint64_t v[5];
};

// 0x90001 when fewer than 32 bytes; bit 255 is ignored and a value at or above p works as its
// residue.
int Fe25519FromBytes(Fe25519* h, const uint8_t* s, int length);
// The canonical value below p, little-endian; 0x90001 when the buffer is under 32 bytes.
int Fe25519ToBytes(uint8_t* s, int length, const Fe25519& h);

void Fe25519Zero(Fe25519* h);
void Fe25519One(Fe25519* h);
void Fe25519Copy(Fe25519* h, const Fe25519& f);
void Fe25519Add(Fe25519* h, const Fe25519& f, const Fe25519& g);
void Fe25519Sub(Fe25519* h, const Fe25519& f, const Fe25519& g);
void Fe25519Neg(Fe25519* h, const Fe25519& f);
void Fe25519Mul(Fe25519* h, const Fe25519& f, const Fe25519& g);
void Fe25519Sq(Fe25519* h, const Fe25519& f);
void Fe25519Sq2(Fe25519* h, const Fe25519& f);  // 2 f^2
void Fe25519Mul121666(Fe25519* h, const Fe25519& f);
void Fe25519Invert(Fe25519* h, const Fe25519& z);
void Fe25519Pow22523(Fe25519* h, const Fe25519& z);  // z^((p-5)/8)

// Swaps f and g (or moves g into f) when b is 1, leaves them when b is 0, in constant time.
void Fe25519CSwap(Fe25519* f, Fe25519* g, unsigned b);
void Fe25519CMove(Fe25519* f, const Fe25519& g, unsigned b);

// 0 or 1, from the canonical encoding.
int Fe25519IsNegative(const Fe25519& f);
int Fe25519IsNonzero(const Fe25519& f);

// RFC 7748 X25519 by the Montgomery ladder: clamps a copy of the scalar, ignores bit 255 of u.
// 0x90001 unless all three buffers are 32 bytes; 0x90002 when the result is all zero (the output
// then holds the zeros and the key agreement must be refused).
int X25519ScalarMult(const uint8_t* scalar, int scalarLength, const uint8_t* u, int uLength, uint8_t* out,
                     int outLength);
// The same function; the base point 9 takes the fixed-base road on the Edwards curve (same result,
// no all-zero test needed there since a clamped scalar never gives the neutral point).
int X25519(const uint8_t* scalar, int scalarLength, const uint8_t* u, int uLength, uint8_t* out, int outLength);
// The public key of a private key record's 32 bytes: 1401 when the private part is not 32 bytes.
int X25519PublicFromPrivate(const ByteString& privateKey, ByteString* publicKey);

// True when the n bytes are all zero; the time taken depends on n only.
bool CurveBytesAllZero(const uint8_t* p, int n);

}  // namespace tw
