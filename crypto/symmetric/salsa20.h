// Salsa20 (Bernstein) with 16- or 32-byte keys and an 8-byte nonce, and XSalsa20 with a 32-byte
// key and a 24-byte nonce; 8, 12 or 20 rounds, 64-byte keystream blocks, a 64-bit block counter
// in words 8 and 9. The counter never wraps: Crypt refuses before keystream would repeat.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

inline constexpr int kSalsa20Variant = 0;
inline constexpr int kXSalsa20Variant = 1;

class Salsa20Context {
 public:
  static constexpr int kBlockBytes = 64;

  Salsa20Context() = default;
  ~Salsa20Context() { Clear(); }
  Salsa20Context(const Salsa20Context&) = delete;
  Salsa20Context& operator=(const Salsa20Context&) = delete;

  // Wipes the state and returns to XSalsa20 with 20 rounds.
  void Clear();
  // 8, 12 or 20, else kErrCipherRounds.
  int SetRounds(int rounds);
  int Rounds() const { return rounds_; }
  int Variant() const { return variant_; }

  // Variant 1 is XSalsa20 (key 32 bytes, nonce 24 bytes); any other value Salsa20 (key 16 or 32
  // bytes, nonce 8 bytes). Wrong lengths give kErrCipherKeyLength or kErrCipherNonceLength.
  int Setup(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length, uint64_t counter,
            int variant);
  int Crypt(const uint8_t* in, size_t length, uint8_t* out);
  int CopyFrom(const Salsa20Context& other);

  // HSalsa20 with 20 rounds: a 32-byte subkey from a 32-byte key and 16 input bytes.
  static void HSalsa20(const uint8_t key[32], const uint8_t in[16], uint8_t out[32]);

 private:
  void NextBlock();

  uint32_t state_[16] = {};
  uint8_t block_[64] = {};
  uint64_t counter_ = 0;
  uint32_t used_ = 64;
  int rounds_ = 20;
  int variant_ = kXSalsa20Variant;
  bool exhausted_ = false;
  bool ready_ = false;
};

}  // namespace tw
