// Result codes of the AEAD constructions and the constant-time comparison their tags need.
//
// The step interfaces of the contexts answer with the low-level codes (1000 tag mismatch, 1001
// counter used up, -1 a step out of order); the one-shot Seal/Open calls and AeadCipher answer
// with the codes the cipher engine reports (2002 .. 2011).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

inline constexpr int kAeadTagMismatch = 1000;
inline constexpr int kAeadCounterExhausted = 1001;
inline constexpr int kAeadMisuse = -1;

inline constexpr int kErrAeadKind = 2001;
inline constexpr int kErrAeadNotStarted = 2002;
inline constexpr int kErrAeadNonceLength = 2003;
inline constexpr int kErrAeadNoTag = 2008;
inline constexpr int kErrAeadTagLength = 2009;
inline constexpr int kErrAeadAuthentication = 2010;
inline constexpr int kErrAeadTooManyBlocks = kErrCipherCounterExhausted;  // 2011

// True when the n bytes at a and b are equal. The time taken depends on n only: the barrier in
// the loop keeps the compiler from turning it into an early exit.
inline bool ConstantTimeEqual(const void* a, const void* b, size_t n) {
  const uint8_t* x = static_cast<const uint8_t*>(a);
  const uint8_t* y = static_cast<const uint8_t*>(b);
  uint32_t diff = 0;
  for (size_t i = 0; i < n; ++i) {
    diff |= static_cast<uint32_t>(x[i] ^ y[i]);
    __asm__ volatile("" : "+r"(diff));
  }
  return diff == 0;
}

}  // namespace tw
