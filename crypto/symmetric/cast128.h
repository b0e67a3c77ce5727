// CAST-128 (RFC 2144): keys of 5 to 16 bytes, zero-padded to 16; 12 rounds for keys of 10 bytes
// or less, 16 otherwise.
#pragma once

#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

class Cast128Context {
 public:
  static constexpr int kBlockBytes = 8;

  Cast128Context() = default;
  ~Cast128Context() { Clear(); }
  Cast128Context(const Cast128Context&) = delete;
  Cast128Context& operator=(const Cast128Context&) = delete;

  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb);
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out) const;
  int CopyFrom(const Cast128Context& other);
  void Clear();

  int Rounds() const { return rounds_; }

 private:
  uint32_t km_[16] = {};
  uint8_t kr_[16] = {};
  int rounds_ = 0;
};

}  // namespace tw
