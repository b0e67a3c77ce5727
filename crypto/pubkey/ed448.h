// Ed448 and Ed448ph signatures (RFC 8032): the Edwards curve x^2 + y^2 = 1 - 39081 x^2 y^2 over the
// field of curve448.h, scalars modulo its prime order L = 2^446 - c, and SHAKE256.
//
// Keys are the 57-byte seed and the 57-byte point encoding; signatures are R (57), S (56) and a
// zero octet. The context (0 to 255 bytes) always enters the hash, empty or not. Signing multiplies
// the base point in constant time. Verification is strict: S below L, the final octet zero, the
// public key a canonical encoding of a point, and R equal to the encoding of S B - k A; anything
// else gives "not valid" (0), never an error. The error codes are those of ed25519.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/pubkey/ed25519.h"
#include "foundation/byte_string.h"

namespace tw {

inline constexpr int kEd448KeyBytes = 57;
inline constexpr int kEd448SignatureBytes = 114;

// 0, kErrEdKeyLength, kErrEdContextLength (200 when the output cannot grow). The output is
// resized to 114 bytes first.
int Ed448Sign(const uint8_t* message, size_t length, const uint8_t* context, int context_length,
              const uint8_t* public_key, int public_length, const uint8_t* private_key, int private_length,
              ByteString& out);
// With `prehashed` the input is already SHAKE256(M, 64 bytes) and must be 64 bytes
// (kErrEdPrehashLength otherwise); else it is the message and is hashed here.
int Ed448PhSign(const uint8_t* input, size_t length, bool prehashed, const uint8_t* context, int context_length,
                const uint8_t* public_key, int public_length, const uint8_t* private_key, int private_length,
                ByteString& out);

// 1 valid, 0 not.
int Ed448Verify(const uint8_t* message, size_t length, const uint8_t* context, int context_length,
                const uint8_t* public_key, int public_length, const uint8_t* signature, int signature_length);
int Ed448PhVerify(const uint8_t* input, size_t length, bool prehashed, const uint8_t* context, int context_length,
                  const uint8_t* public_key, int public_length, const uint8_t* signature, int signature_length);

// The 57-byte public key of a 57-byte seed: 0, kErrEdKeyLength, or 200.
int Ed448PublicFromPrivate(const ByteString& priv, ByteString& pub);

}  // namespace tw
