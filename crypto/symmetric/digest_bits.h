// Byte-order helpers and block buffering shared by the digest contexts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/byte_ops.h"

namespace tw::digest {

inline uint32_t Rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint64_t Rotl64(uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }
inline uint64_t Rotr64(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

using ::tw::LoadBe32;
using ::tw::LoadBe64;
using ::tw::LoadLe32;
using ::tw::LoadLe64;
using ::tw::StoreBe32;
using ::tw::StoreBe64;
using ::tw::StoreLe32;
using ::tw::StoreLe64;

// The end of a SHA-2 block: the working variables are added into the chaining state.
template <class T>
__attribute__((always_inline)) inline void AddWorkingState(T* state, T a, T b, T c, T d, T e, T f, T g, T h) {
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

// Feeds bytes through a one-block buffer: whole blocks of the input go to `compress` straight
// from the caller's memory, only the head and tail are copied.
template <size_t kBlock, class Compress>
inline void BufferBlocks(uint8_t* buffer, size_t& used, const uint8_t* p, size_t n, Compress&& compress) {
  if (used > 0) {
    size_t take = kBlock - used;
    if (n < take) {
      std::memcpy(buffer + used, p, n);
      used += n;
      return;
    }
    std::memcpy(buffer + used, p, take);
    compress(buffer, size_t{1});
    p += take;
    n -= take;
    used = 0;
  }
  if (n >= kBlock) {
    compress(p, n / kBlock);
    p += n / kBlock * kBlock;
    n %= kBlock;
  }
  if (n > 0) std::memcpy(buffer, p, n);
  used = n;
}

// Closes a Merkle-Damgard message: 0x80, zeros, then `length` (the message length in bits, already
// in the digest's byte order) ending the last block, which may be one past the buffered one.
template <size_t kBlock, size_t kLength, class Compress>
inline void BufferPadding(uint8_t* buffer, size_t& used, const uint8_t (&length)[kLength],
                          Compress&& compress) {
  uint8_t pad[2 * kBlock] = {0x80};
  const size_t padLen = (used < kBlock - kLength ? kBlock : 2 * kBlock) - kLength - used;
  std::memcpy(pad + padLen, length, kLength);
  BufferBlocks<kBlock>(buffer, used, pad, padLen + kLength, compress);
}

// The x86 SHA extensions are used for SHA-1 and SHA-256 when the processor has them. Tests turn
// them off to run the portable code on the same machine.
bool CpuHasShaExtensions();
void SetShaExtensionsAllowed(bool allowed);
bool ShaExtensionsActive();

}  // namespace tw::digest
