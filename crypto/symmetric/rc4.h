// RC4 ("arcfour"): the plain key scheduling with no keystream dropped; the permutation and its two
// indexes carry over from one Crypt call to the next.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

class Rc4Context {
 public:
  Rc4Context() = default;
  ~Rc4Context() { Clear(); }
  Rc4Context(const Rc4Context&) = delete;
  Rc4Context& operator=(const Rc4Context&) = delete;

  // Keys of 1 to 256 bytes; resets both indexes.
  int SetKey(const uint8_t* key, int length);
  int Crypt(const uint8_t* in, size_t length, uint8_t* out);
  int CopyFrom(const Rc4Context& other);
  void Clear();

 private:
  uint8_t s_[256] = {};
  uint8_t i_ = 0;
  uint8_t j_ = 0;
  bool has_key_ = false;
};

}  // namespace tw
