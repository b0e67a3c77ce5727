// Values and small helpers both sides of the handshake use.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <vector>

namespace tw {

// SHA-256 of "HelloRetryRequest": the ServerHello random that marks a HelloRetryRequest.
inline constexpr uint8_t kHelloRetryRandom[32] = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};
// RFC 8446 4.1.3: a TLS 1.3 server answering lower puts this and 1 (TLS 1.2) or 0 at the end of
// its random.
inline constexpr uint8_t kDowngradeSentinel[7] = {'D', 'O', 'W', 'N', 'G', 'R', 'D'};
// RFC 5746: the suite value that signals secure renegotiation without the extension.
inline constexpr uint16_t kRenegotiationScsv = 0x00FF;

inline bool PairOn(uint32_t mask, uint32_t pair) { return (mask & pair) == pair; }

inline bool Contains(const std::vector<uint16_t>& list, uint16_t v) {
  return std::find(list.begin(), list.end(), v) != list.end();
}

inline int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace tw
