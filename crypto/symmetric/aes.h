// AES (FIPS 197) and Rijndael with 24- and 32-byte blocks.
//
// The portable path uses four 256-entry T-tables per direction; on x86 processors with the AES
// instructions the block functions use them instead (chosen at run time, per context, so tests can
// force the portable path).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

// True when this processor has the AES instructions.
bool AesHardwareAvailable();

class AesContext {
 public:
  static constexpr int kBlockBytes = 16;

  AesContext();
  ~AesContext() = default;
  AesContext(const AesContext&) = delete;
  AesContext& operator=(const AesContext&) = delete;

  bool Allocated() const { return static_cast<bool>(schedule_); }

  // Key of 16, 24 or 32 bytes. The forward schedule is always built; the inverse one also when
  // UsesInverseCipher(encrypting, mode) (otherwise DecryptBlock builds it on first use).
  int SetKey(const uint8_t* key, int length, int encrypting, int mode);
  int SetEncryptKey(const uint8_t* key, int length) { return SetKey(key, length, 1, kCipherModeEcb); }

  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out);
  // Many independent blocks (ECB over a buffer; CTR and GCM keystream), pipelined in hardware.
  int EncryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks) const;
  int DecryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks);
  // CBC over whole blocks: iv holds the chain block going in and the last ciphertext block coming
  // out. in and out may be the same buffer.
  int EncryptCbc(const uint8_t* in, uint8_t* out, size_t blocks, uint8_t iv[16]) const;
  int DecryptCbc(const uint8_t* in, uint8_t* out, size_t blocks, uint8_t iv[16]);

  int CopyFrom(const AesContext& other);
  void Clear();  // wipes the schedules; a key must be set again

  int Rounds() const;
  bool UsesHardware() const;
  // The forward round keys as the AES instructions take them, or null unless a key is set and the
  // instructions are in use (for modes that run their own pipelined loops).
  const uint8_t* HardwareRoundKeys() const;
  // Tests and benchmarks: false forces the portable path even where the instructions exist.
  void SetHardwareAllowed(bool allowed);

  struct Schedule {
    uint32_t enc[60];        // round keys as big-endian words, forward order
    uint32_t dec[60];        // equivalent inverse cipher: reversed, InvMixColumns applied
    uint8_t enc_bytes[240];  // the same as bytes, for the instructions
    uint8_t dec_bytes[240];
    int32_t rounds;
    int32_t has_key;
    int32_t has_dec;
    int32_t use_hw;
  };
  static_assert(sizeof(Schedule) <= 1024);

 private:
  void BuildInverse();

  ScheduleBuffer<Schedule> schedule_;
  bool hw_allowed_;
};

// Rijndael with 16-, 24- or 32-byte blocks and keys; rounds 10, 12 or 14 by the larger of the two.
// A 16-byte block runs through the AES context above.
class RijndaelContext {
 public:
  RijndaelContext() = default;
  ~RijndaelContext() = default;
  RijndaelContext(const RijndaelContext&) = delete;
  RijndaelContext& operator=(const RijndaelContext&) = delete;

  bool Allocated() const { return static_cast<bool>(schedule_) && aes_.Allocated(); }

  int SetKey(const uint8_t* key, int key_length, int block_length, int encrypting, int mode);
  int EncryptBlock(const uint8_t* in, uint8_t* out) const;
  int DecryptBlock(const uint8_t* in, uint8_t* out);
  int CopyFrom(const RijndaelContext& other);
  void Clear();

  int BlockBytes() const { return block_bytes_; }
  int Rounds() const;
  void SetHardwareAllowed(bool allowed) { aes_.SetHardwareAllowed(allowed); }

  struct Schedule {
    uint32_t enc[120];
    uint32_t dec[120];
    int32_t rounds;
    int32_t words;  // block words Nb
    int32_t has_key;
    int32_t has_dec;
  };

 private:
  void BuildInverse();

  AesContext aes_;
  ScheduleBuffer<Schedule> schedule_;
  int block_bytes_ = 16;
};

}  // namespace tw
