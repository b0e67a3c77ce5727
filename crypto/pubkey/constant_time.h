// Constant-time helpers for padding checks and secret comparisons, and the mark of what is public.
#pragma once

#include <cstddef>
#include <cstdint>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define TW_CT_MEMCHECK 1
#endif

namespace tw::ct {

// All ones when a == b, else zero.
inline uint32_t EqMask(uint32_t a, uint32_t b) {
  const uint32_t x = a ^ b;
  return static_cast<uint32_t>(0) - (((x | (0u - x)) >> 31) ^ 1u);
}
inline uint32_t ZeroMask(uint32_t a) { return EqMask(a, 0); }
// Zero when the n bytes are equal; no early exit.
inline uint8_t Diff(const uint8_t* a, const uint8_t* b, size_t n) {
  uint8_t d = 0;
  for (size_t i = 0; i < n; ++i) d |= static_cast<uint8_t>(a[i] ^ b[i]);
  return d;
}

// A value computed from secrets that is public from here on (a signature, a verdict): memcheck,
// which the secret-marked tests run under, stops tracing it. Nothing is done outside memcheck.
inline void Declassify(const void* p, size_t n) {
#ifdef TW_CT_MEMCHECK
  VALGRIND_MAKE_MEM_DEFINED(p, n);
#else
  (void)p;
  (void)n;
#endif
}

// The reverse, for a secret the code makes itself (a nonce): under memcheck any branch or
// address that follows it from here on is an error. Nothing is done outside memcheck.
inline void MarkSecret(const void* p, size_t n) {
#ifdef TW_CT_MEMCHECK
  VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#else
  (void)p;
  (void)n;
#endif
}

}  // namespace tw::ct
