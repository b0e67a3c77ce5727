// ChaCha20: RFC 8439 with a 12-byte nonce and a 32-bit block counter, or ChaCha as first
// published with an 8-byte nonce and a 64-bit block counter. 20 rounds, 64-byte keystream blocks.
//
// The counter never wraps: once the last block the counter can number has been used, Crypt
// refuses (kErrCipherCounterExhausted) instead of repeating keystream, and it refuses before
// producing any output when the request would run past that point.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

class ChaCha20Context {
 public:
  static constexpr int kKeyBytes = 32;
  static constexpr int kBlockBytes = 64;

  ChaCha20Context() = default;
  ~ChaCha20Context() { Clear(); }
  ChaCha20Context(const ChaCha20Context&) = delete;
  ChaCha20Context& operator=(const ChaCha20Context&) = delete;

  // Wipes the state; the starting counter stays.
  void Clear();
  // The block counter the next Setup starts from when it is given none.
  void SetCounter(uint64_t counter) { initial_counter_ = counter; }
  uint64_t InitialCounter() const { return initial_counter_; }

  // Key of 32 bytes (else 3001), nonce of 12 or 8 bytes (else 3000). With a 12-byte nonce the
  // counter must fit in 32 bits.
  int Setup(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length, uint64_t counter);
  int Setup(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length) {
    return Setup(key, key_length, nonce, nonce_length, initial_counter_);
  }

  // XORs the keystream into length bytes, continuing inside the current block across calls.
  int Crypt(const uint8_t* in, size_t length, uint8_t* out);
  int CopyFrom(const ChaCha20Context& other);

  // The number of the next keystream block to be generated.
  uint64_t NextBlockCounter() const { return counter_; }

 private:
  void NextBlock();
  uint64_t BlocksLeft() const;

  uint32_t state_[16] = {};
  uint8_t block_[64] = {};
  uint64_t counter_ = 0;
  uint64_t initial_counter_ = 0;
  uint32_t used_ = 64;  // bytes of block_ already used
  bool wide_counter_ = false;
  bool exhausted_ = false;
  bool ready_ = false;
};

// The ChaCha20 block function: 64 bytes of keystream from a 16-word input state.
void ChaCha20Block(const uint32_t input[16], uint8_t out[64]);

}  // namespace tw
