// TEA, XTEA and XXTEA (Corrected Block TEA) of Wheeler and Needham, all with big-endian key words
// and block words.
//
// TEA and XTEA run a settable number of cycles (each cycle updates both halves), 64 unless set;
// the published ciphers use 32. XTEA has two round forms: variant 1 is the published one, the
// default variant 0 computes (k + sum) ^ ((v >> 5) + v) ^ (v << 4) with the same key indexes.
// XXTEA enciphers a whole block of 8 or more bytes (a multiple of 4) in one call, with
// 6 + 52 / n rounds for n words.
#pragma once

#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

inline constexpr int kTeaDefaultCycles = 64;

class TeaContext {
 public:
  static constexpr int kBlockBytes = 8;

  TeaContext() = default;
  ~TeaContext() { Clear(); }
  TeaContext(const TeaContext&) = delete;
  TeaContext& operator=(const TeaContext&) = delete;

  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb);
  // At least one cycle: no cycles at all would hand the plaintext back as ciphertext.
  int SetRounds(int cycles);
  int Rounds() const { return cycles_; }
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out) const;
  int CopyFrom(const TeaContext& other);
  void Clear();  // wipes the key; the cycle count stays

 private:
  uint32_t k_[4] = {};
  int cycles_ = kTeaDefaultCycles;
  bool has_key_ = false;
};

class XteaContext {
 public:
  static constexpr int kBlockBytes = 8;

  XteaContext() = default;
  ~XteaContext() { Clear(); }
  XteaContext(const XteaContext&) = delete;
  XteaContext& operator=(const XteaContext&) = delete;

  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb);
  int SetRounds(int cycles);
  int Rounds() const { return cycles_; }
  // 1 selects the published round; any other value the default form.
  void SetVariant(int variant) { variant_ = variant; }
  int Variant() const { return variant_; }
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out) const;
  int CopyFrom(const XteaContext& other);
  void Clear();  // wipes the key; cycles and variant stay

 private:
  uint32_t k_[4] = {};
  int cycles_ = kTeaDefaultCycles;
  int variant_ = 0;
  bool has_key_ = false;
};

class XxteaContext {
 public:
  XxteaContext() = default;
  ~XxteaContext() { Clear(); }
  XxteaContext(const XxteaContext&) = delete;
  XxteaContext& operator=(const XxteaContext&) = delete;

  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb);
  // One block of `length` bytes (8 or more, a multiple of 4); in and out may be the same.
  int EncryptBlock(const uint8_t* in, uint8_t* out, size_t length) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out, size_t length) const;
  int CopyFrom(const XxteaContext& other);
  void Clear();

 private:
  uint32_t k_[4] = {};
  bool has_key_ = false;
};

}  // namespace tw
