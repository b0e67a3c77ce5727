// Byte-order helpers and block buffering shared by the digest contexts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tw::digest {

inline uint32_t Rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint64_t Rotl64(uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }
inline uint64_t Rotr64(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// memcpy plus a byte swap compiles to one load and bswap; the values are never read unaligned.
inline uint32_t LoadBe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}
inline uint32_t LoadLe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t LoadBe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}
inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void StoreLe32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void StoreBe64(uint8_t* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}
inline void StoreLe64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the load helpers assume a little-endian host");

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
