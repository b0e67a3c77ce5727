// Blowfish (Schneier 1993): 16 rounds, P-array and S-boxes from the digits of pi, keys of 1 to 56
// bytes. The key expansion steps are public because OpenSSH's bcrypt_pbkdf builds on them.
#pragma once

#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

class BlowfishContext {
 public:
  static constexpr int kBlockBytes = 8;
  static constexpr int kMaxKeyBytes = 56;

  BlowfishContext() = default;
  ~BlowfishContext() = default;
  BlowfishContext(const BlowfishContext&) = delete;
  BlowfishContext& operator=(const BlowfishContext&) = delete;

  bool Allocated() const { return static_cast<bool>(state_); }

  // The initial tables, then the key expansion.
  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb);
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out) const;
  int CopyFrom(const BlowfishContext& other);
  void Clear();

  // The pieces bcrypt_pbkdf assembles (Eksblowfish):
  // the tables from pi;
  int InitState();
  // the plain expansion: key XORed into P, then the zero block encrypted through P and S;
  int ExpandKey(const uint8_t* key, int key_length);
  // the salted expansion: as above, with salt words XORed into the block before each encryption;
  int ExpandKeyWithSalt(const uint8_t* salt, int salt_length, const uint8_t* key, int key_length);
  // encrypts pairs of words (left, right) in place;
  int EncryptWords(uint32_t* words, int pairs) const;
  // the next big-endian word of data, cycling through it from *position.
  static uint32_t StreamToWord(const uint8_t* data, int length, int* position);

  struct State {
    uint32_t p[18];
    uint32_t s[4][256];
    int32_t ready;
  };

 private:
  ScheduleBuffer<State> state_;
};

}  // namespace tw
