// Twofish (Schneier et al.): 16 rounds over 16-byte blocks, keys of 16 to 32 bytes (a key between
// the standard sizes is zero-padded to the next one).
// The key-dependent S-boxes are folded with the MDS matrix into four 256-entry tables.
#pragma once

#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

class TwofishContext {
 public:
  static constexpr int kBlockBytes = 16;

  TwofishContext() = default;
  ~TwofishContext() = default;
  TwofishContext(const TwofishContext&) = delete;
  TwofishContext& operator=(const TwofishContext&) = delete;

  bool Allocated() const { return static_cast<bool>(schedule_); }

  int SetKey(const uint8_t* key, int length, int encrypting = 1, int mode = kCipherModeEcb);
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out) const;
  int CopyFrom(const TwofishContext& other);
  void Clear();

  struct Schedule {
    uint32_t k[40];
    uint32_t s[4][256];
    int32_t has_key;
  };

 private:
  ScheduleBuffer<Schedule> schedule_;
};

}  // namespace tw
