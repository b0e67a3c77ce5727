// Ed25519, Ed25519ctx and Ed25519ph signatures (RFC 8032) over the group of edwards25519.h.
//
// Keys are the 32-byte seed and the 32-byte point encoding; signatures are R (32) then S (32).
// Signing uses the stored public key as it is given (it is not recomputed from the seed) and
// multiplies the base point in constant time. Verification is strict: S must be below the group
// order L and the public key must be a canonical encoding of a point; any bad length, context or
// encoding gives "not valid" (0), never an error.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

inline constexpr int kEd25519KeyBytes = 32;
inline constexpr int kEd25519SignatureBytes = 64;
// The digest a prehashed ("ph") scheme signs, SHA-512 or SHAKE256 at 512 bits.
inline constexpr int kEdPrehashBytes = 64;
inline constexpr int kEdMaxContext = 255;

inline constexpr int kErrEdKeyLength = 0x81000;      // private or public key of the wrong length
inline constexpr int kErrEdPrehashLength = 0x81004;  // an already-hashed input that is not 64 bytes
inline constexpr int kErrEdContextLength = 0x81005;  // context too long (or empty for Ed25519ctx)
// The public key given with a private key is not its own: signing would leak the private key.
inline constexpr int kErrEdKeyMismatch = 1401;

// Sign: 0, or one of the codes above (200 when the output cannot grow). The output is resized to
// 64 bytes first; after a failure its contents are unspecified.
int Ed25519Sign(const uint8_t* message, size_t length, const uint8_t* public_key, int public_length,
                const uint8_t* private_key, int private_length, ByteString& out);
// Context of 1 to 255 bytes.
int Ed25519CtxSign(const uint8_t* message, size_t length, const uint8_t* context, int context_length,
                   const uint8_t* public_key, int public_length, const uint8_t* private_key, int private_length,
                   ByteString& out);
// Context of 0 to 255 bytes. With `prehashed` the input is already SHA-512(M) and must be 64 bytes;
// otherwise it is the message and is hashed here.
int Ed25519PhSign(const uint8_t* input, size_t length, bool prehashed, const uint8_t* context, int context_length,
                  const uint8_t* public_key, int public_length, const uint8_t* private_key, int private_length,
                  ByteString& out);

// Verify: 1 valid, 0 not.
int Ed25519Verify(const uint8_t* message, size_t length, const uint8_t* public_key, int public_length,
                  const uint8_t* signature, int signature_length);
int Ed25519CtxVerify(const uint8_t* message, size_t length, const uint8_t* context, int context_length,
                     const uint8_t* public_key, int public_length, const uint8_t* signature, int signature_length);
int Ed25519PhVerify(const uint8_t* input, size_t length, bool prehashed, const uint8_t* context, int context_length,
                    const uint8_t* public_key, int public_length, const uint8_t* signature, int signature_length);

// The 32-byte public key of a 32-byte seed: 0, kErrEdKeyLength, or 200.
int Ed25519PublicFromPrivate(const ByteString& priv, ByteString& pub);

}  // namespace tw
