// RC2 (RFC 2268) over 8-byte blocks. The effective key length is eight bits per key byte unless
// set otherwise (the RFC's test vectors use other lengths).
#pragma once

#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

class Rc2Context {
 public:
  static constexpr int kBlockBytes = 8;

  Rc2Context() = default;
  ~Rc2Context() { Clear(); }
  Rc2Context(const Rc2Context&) = delete;
  Rc2Context& operator=(const Rc2Context&) = delete;

  // Keys of 1 to 128 bytes.
  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb) {
    return SetKeyWithEffectiveBits(key, length, 8 * length);
  }
  int SetKeyWithEffectiveBits(const uint8_t* key, int length, int effective_bits);
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out) const;
  int CopyFrom(const Rc2Context& other);
  void Clear();

 private:
  uint16_t k_[64] = {};
  bool has_key_ = false;
};

}  // namespace tw
