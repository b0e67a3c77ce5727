// Values and small helpers both sides of the handshake use.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <cstring>
#include <vector>

#include "crypto/symmetric/hash_engine.h"
#include "tls/tls13_key_schedule.h"

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

// What a signature scheme or TLS 1.2 hash/signature pair means: its hash (-1 for none or an
// unusable one), RSA-PSS, EdDSA, and the key kind that makes it ("rsa", "dsa", "ecdsa",
// "ed25519", "ed448"; "" when unknown).
struct SchemeUse {
  int hash_id = -1;
  bool pss = false;
  bool eddsa = false;
  const char* key_kind = "";

  // Whether a key of this kind can make the scheme with a hash (EdDSA: without one).
  bool MadeBy(const char* kind) const {
    return std::strcmp(key_kind, kind) == 0 && (eddsa || hash_id >= 0);
  }
};

inline SchemeUse DescribeScheme(uint16_t scheme) {
  SchemeUse u;
  if (scheme == 0x0807 || scheme == 0x0808) {
    u.eddsa = true;
    u.key_kind = scheme == 0x0807 ? "ed25519" : "ed448";
    return u;
  }
  if (scheme >= 0x0804 && scheme <= 0x0806) {
    u.hash_id = Tls13SchemeHash(scheme);
    u.pss = true;
    u.key_kind = "rsa";
    return u;
  }
  static constexpr int kPairHashes[] = {-1, kHashMd5, kHashSha1, kHashSha224, kHashSha256, kHashSha384, kHashSha512};
  static constexpr const char* kPairKinds[] = {"", "rsa", "dsa", "ecdsa"};
  const unsigned hash = scheme >> 8;
  const unsigned kind = scheme & 0xFF;
  if (hash < 7 && kind >= 1 && kind <= 3) {
    u.hash_id = kPairHashes[hash];
    u.key_kind = kPairKinds[kind];
  }
  return u;
}

inline int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace tw
