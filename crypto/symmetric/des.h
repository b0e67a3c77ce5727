// DES (FIPS 46-3) and Triple DES in EDE form (NIST SP 800-67).
//
// The round keys are kept in encryption order; decryption walks them backwards, so one schedule
// serves both directions and the direction arguments of SetKey are accepted for the common
// interface only. Parity bits of the key are ignored.
#pragma once

#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

class DesContext {
 public:
  static constexpr int kBlockBytes = 8;

  DesContext() = default;
  ~DesContext() { Clear(); }
  DesContext(const DesContext&) = delete;
  DesContext& operator=(const DesContext&) = delete;

  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb);
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out) const;
  int CopyFrom(const DesContext& other);
  void Clear();

  // 32 words: two per round, each holding four 6-bit key groups in its bytes.
  const uint32_t* RoundKeys() const { return keys_; }

 private:
  uint32_t keys_[32] = {};
  bool has_key_ = false;
};

// Keys of 16 bytes (K1 K2 K1) or 24 bytes (K1 K2 K3).
class TripleDesContext {
 public:
  static constexpr int kBlockBytes = 8;

  TripleDesContext() = default;
  ~TripleDesContext() { Clear(); }
  TripleDesContext(const TripleDesContext&) = delete;
  TripleDesContext& operator=(const TripleDesContext&) = delete;

  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb);
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out) const;
  int CopyFrom(const TripleDesContext& other);
  void Clear();

 private:
  uint32_t keys_[3][32] = {};
  bool has_key_ = false;
};

}  // namespace tw
