// Character limits, names and byte comparisons the XML parser's units share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tw {
namespace xml {

inline constexpr uint32_t kMaxCodePoint = 0x10FFFF;
inline constexpr uint32_t kReplacement = 0xFFFD;

// The namespace name reserved for the "xml" prefix.
inline constexpr char kXmlNamespace[] = "http://www.w3.org/XML/1998/namespace";

inline bool EqualsText(const char* p, int n, const char* text) {
  const size_t len = std::strlen(text);
  return static_cast<size_t>(n) == len && std::memcmp(p, text, len) == 0;
}

// Names are a few bytes: compared eight at a time rather than through a library call.
inline bool SameBytes(const void* a, const void* b, size_t n) {
  const auto* x = static_cast<const uint8_t*>(a);
  const auto* y = static_cast<const uint8_t*>(b);
  uint64_t u, v;
  if (n >= 8) {
    for (size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&u, x + i, 8);
      std::memcpy(&v, y + i, 8);
      if (u != v) return false;
    }
    std::memcpy(&u, x + n - 8, 8);
    std::memcpy(&v, y + n - 8, 8);
    return u == v;
  }
  for (size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

}  // namespace xml
}  // namespace tw
