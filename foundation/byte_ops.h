// Big- and little-endian loads and stores, and the XOR of two byte runs: the few byte operations
// the codecs and ciphers share. memcpy plus a byte swap compiles to one load and bswap, and the
// pointers need no alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tw {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the load helpers assume a little-endian host");

inline uint32_t LoadBe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}
inline uint64_t LoadBe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void StoreBe64(uint8_t* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

inline uint32_t LoadLe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void StoreLe32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void StoreLe64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// out = a ^ b over n bytes, eight at a time where possible; out may be a or b.
inline void XorBytes(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    x ^= y;
    std::memcpy(out + i, &x, 8);
  }
  for (; i < n; ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

}  // namespace tw
