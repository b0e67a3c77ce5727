// The parameters under which the platform TLS path last acquired its credentials, so that a
// later handshake with the same parameters reuses them.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class SslCredentialKey {
 public:
  // 0, or 200 when a text cannot be stored.
  int Set(uint32_t word1, uint32_t word2, uint32_t word3, uint32_t word4, const char* second_text,
          const char* first_text, uint8_t flag, uint32_t handle_low, uint32_t handle_high);
  // Texts compare as NUL-terminated texts (null counts as "").
  bool Matches(uint32_t word1, uint32_t word2, uint32_t word3, uint32_t word4,
               const char* second_text, const char* first_text, uint8_t flag,
               uint32_t handle_low, uint32_t handle_high) const;
  void Clear();

 private:
  ByteString first_text_;
  uint32_t words_[4] = {0, 0, 0, 0};
  ByteString second_text_;
  uint8_t flag_ = 0;
  uint32_t handle_[2] = {0, 0};
};

}  // namespace tw
