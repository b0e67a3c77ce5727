// Helpers shared by the public-key tests: hex forms of integers and byte strings.
#pragma once

#include <random>
#include <string>

#include "crypto/pubkey/big_number.h"
#include "foundation/byte_string.h"
#include "tests/support/test_support.h"

namespace tw::testing_pk {

inline BigNumber FromHex(const std::string& hex) {
  const bool neg = !hex.empty() && hex[0] == '-';
  std::string digits = hex.substr(neg ? 1 : 0);
  if (digits.size() % 2) digits = "0" + digits;
  const std::string raw = testsupport::Unhex(digits);
  BigNumber n;
  n.SetBytes(raw.data(), static_cast<int>(raw.size()), neg ? -1 : 1);
  return n;
}

inline std::string ToHex(const BigNumber& n) {
  ByteString b;
  n.ToMagnitude(b);
  std::string h = testsupport::Hex(b.data(), static_cast<size_t>(b.length()));
  size_t z = h.find_first_not_of('0');
  h = z == std::string::npos ? "0" : h.substr(z);
  return (n.sign() < 0 ? "-" : "") + h;
}

inline std::string Str(const ByteString& s) { return std::string(s.data(), static_cast<size_t>(s.length())); }
inline std::string HexOf(const ByteString& s) { return testsupport::Hex(s.data(), static_cast<size_t>(s.length())); }
inline void SetStr(ByteString& s, const std::string& v) { s.Set(v.data(), static_cast<int>(v.size())); }

// Hex of a number with limbs of all ones, all zeros or random bits: the shapes that reach the
// rare correction steps of long division.
inline std::string ShapedHex(std::mt19937_64& rng, int limbs) {
  std::string out;
  static const char* kDigits = "0123456789abcdef";
  for (int i = 0; i < limbs; ++i) {
    const unsigned shape = static_cast<unsigned>(rng() % 5);
    uint64_t v = shape == 0 ? ~0ull : shape == 1 ? 0 : shape == 2 ? (1ull << 63) : rng();
    if (i == 0 && v == 0) v = 1;
    for (int k = 15; k >= 0; --k) out += kDigits[(v >> (4 * k)) & 15];
  }
  return out;
}

}  // namespace tw::testing_pk
