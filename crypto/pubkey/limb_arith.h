// Word-level arithmetic of the big integers: 64-bit limbs, least significant first, with 128-bit
// products. Shared by the integer, Montgomery and prime units; nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/byte_string.h"

namespace tw {

using Limb = uint64_t;
using DLimb = unsigned __int128;

// Limb storage that wipes itself when released, so intermediate secrets never linger.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, size_t n) {
    WipeBytes(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const {
    return true;
  }
};

using LimbVector = std::vector<Limb, WipingAllocator<Limb>>;

namespace limb {

// r = a + b over n limbs; the carry out.
Limb AddN(Limb* r, const Limb* a, const Limb* b, size_t n);
// r = a - b over n limbs; the borrow out.
Limb SubN(Limb* r, const Limb* a, const Limb* b, size_t n);
// r[0..n) += a[0..n) * b; the carry word out.
Limb MulAdd1(Limb* r, const Limb* a, size_t n, Limb b);
// r[0..n) = a[0..n) * b; the carry word out.
Limb Mul1(Limb* r, const Limb* a, size_t n, Limb b);
// r[0..an+bn) = a * b; r must not overlap the inputs.
void Mul(Limb* r, const Limb* a, size_t an, const Limb* b, size_t bn);
// r[0..2n) = a * a, cross products computed once and doubled.
void Sqr(Limb* r, const Limb* a, size_t n);
// -1, 0 or 1 comparing n limbs.
int Cmp(const Limb* a, const Limb* b, size_t n);
// -a^{-1} mod 2^64 of an odd a, by Newton steps.
Limb NegInverse(Limb a);
// Significant bits of a limb (0 for 0).
int BitLength(Limb a);
// Constant-time: all ones when a == 0.
inline Limb IsZeroMask(Limb a) { return static_cast<Limb>(0) - static_cast<Limb>(((a | (0 - a)) >> 63) ^ 1); }
// Constant-time copy of src over dst where mask is all ones.
inline void Select(Limb* dst, const Limb* src, size_t n, Limb mask) {
  for (size_t i = 0; i < n; ++i) dst[i] ^= (dst[i] ^ src[i]) & mask;
}

}  // namespace limb
}  // namespace tw
