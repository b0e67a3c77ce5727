// IDEA (Lai and Massey): 8.5 rounds over 8-byte blocks with a 16-byte key; multiplication modulo
// 65537 with 0 standing for 65536; decryption uses the inverted subkeys.
#pragma once

#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

class IdeaContext {
 public:
  static constexpr int kBlockBytes = 8;

  IdeaContext() = default;
  ~IdeaContext() { Clear(); }
  IdeaContext(const IdeaContext&) = delete;
  IdeaContext& operator=(const IdeaContext&) = delete;

  // The decryption subkeys are built when UsesInverseCipher(encrypting, mode), else on first use.
  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb);
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out);
  int CopyFrom(const IdeaContext& other);
  void Clear();

 private:
  void BuildInverse();

  uint16_t enc_[52] = {};
  uint16_t dec_[52] = {};
  bool has_key_ = false;
  bool has_dec_ = false;
};

}  // namespace tw
