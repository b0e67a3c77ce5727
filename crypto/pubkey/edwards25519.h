// The twisted Edwards group -x^2 + y^2 = 1 + d x^2 y^2 over GF(2^255 - 19) and scalars modulo its
// prime order L = 2^252 + 27742317777372353535851937790883648493: what Ed25519 signs with and
// what X25519 uses to multiply the base point quickly.
//
// Multiplication of the base point by a secret scalar runs in constant time; decoding and the
// double-scalar multiplication are variable-time and meant for public data only.
#pragma once

#include <cstdint>

#include "crypto/pubkey/curve25519.h"

namespace tw {

// Projective (X:Y:Z), x = X/Z, y = Y/Z.
struct Ge25519P2 {
  Fe25519 X, Y, Z;
};

// Extended (X:Y:Z:T) with T = XY/Z.
struct Ge25519P3 {
  Fe25519 X, Y, Z, T;
};

// Completed ((X:Z),(Y:T)), x = X/Z, y = Y/T: the result of an addition or a doubling.
struct Ge25519P1P1 {
  Fe25519 X, Y, Z, T;
};

// Ready to add: (Y+X, Y-X, Z, 2dT) for variable points.
struct Ge25519Cached {
  Fe25519 YplusX, YminusX, Z, T2d;
};

// Ready to add, affine: (y+x, y-x, 2dxy) for table points.
struct Ge25519Precomp {
  Fe25519 yplusx, yminusx, xy2d;
};

void Ge25519P3Identity(Ge25519P3* h);
void Ge25519P3ToCached(Ge25519Cached* r, const Ge25519P3& p);
void Ge25519P1P1ToP2(Ge25519P2* r, const Ge25519P1P1& p);
void Ge25519P1P1ToP3(Ge25519P3* r, const Ge25519P1P1& p);
void Ge25519P2Dbl(Ge25519P1P1* r, const Ge25519P2& p);
void Ge25519P3Dbl(Ge25519P1P1* r, const Ge25519P3& p);
void Ge25519Add(Ge25519P1P1* r, const Ge25519P3& p, const Ge25519Cached& q);
void Ge25519Sub(Ge25519P1P1* r, const Ge25519P3& p, const Ge25519Cached& q);
void Ge25519MAdd(Ge25519P1P1* r, const Ge25519P3& p, const Ge25519Precomp& q);
void Ge25519MSub(Ge25519P1P1* r, const Ge25519P3& p, const Ge25519Precomp& q);

// Encodes y with the parity of x in bit 255. The projective form demands exactly 32 bytes, the
// extended one at least 32; 0x90001 otherwise.
int Ge25519P2ToBytes(uint8_t* s, int length, const Ge25519P2& h);
int Ge25519P3ToBytes(uint8_t* s, int length, const Ge25519P3& h);

// Decodes 32 bytes into minus the encoded point (what verification needs). 1 on success, 0 when
// x has no square root or the buffer is under 32 bytes.
int Ge25519FromBytesNegate(Ge25519P3* h, const uint8_t* s, int length);

// a B for a scalar of at least 32 bytes (little-endian, the first 32 used), in constant time.
// 0x90001 when shorter.
int Ge25519ScalarMultBase(Ge25519P3* h, const uint8_t* a, int length);

// a A + b B for 32-byte scalars; variable time.
void Ge25519DoubleScalarMultVartime(Ge25519P2* r, const uint8_t a[32], const Ge25519P3& A, const uint8_t b[32]);

// The first 64 bytes taken mod L; the 32-byte result replaces the first 32. 0x90001 when the buffer
// is under 64 bytes.
int Sc25519Reduce(uint8_t* s, int length);
// out = (a b + c) mod L, 32 bytes each; 0x90001 when any buffer is under 32 bytes.
int Sc25519MulAdd(uint8_t* out, int outLength, const uint8_t* a, int aLength, const uint8_t* b, int bLength,
                  const uint8_t* c, int cLength);

}  // namespace tw
