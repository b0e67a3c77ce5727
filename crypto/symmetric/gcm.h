// AES-GCM (NIST SP 800-38D): AES in counter mode with the GHASH authenticator.
//
// Two ways in. The step interface (SetKey, AddIv, AddAad, Crypt, Finish) follows a message as it
// arrives, for the cipher engine. Seal and Open take one whole message with a caller-given nonce
// and AAD, in place or not, without allocating: the record layer's path. Open authenticates the
// ciphertext before it decrypts anything, so a forged message never yields plaintext.
//
// GHASH uses Shoup's 4-bit tables. Where the processor has PCLMULQDQ, a carry-less multiply path
// with eight-block aggregated reduction takes over, and with the AES instructions whole groups of
// eight blocks are encrypted and hashed in one loop. Where the 256-bit forms of both exist,
// sealing does the same sixteen blocks at a time, and opening runs its two passes (hash, then
// decrypt) sixteen blocks at a time. All of it is chosen
// at run time (see cpu_features.h); SetHardwareAllowed(false) forces the portable code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/aead_common.h"
#include "crypto/symmetric/aes.h"

namespace tw {

// True when this processor can run the carry-less multiply GHASH.
bool GhashHardwareAvailable();

class GcmContext {
 public:
  static constexpr int kBlockBytes = 16;
  static constexpr int kMaxTagBytes = 16;
  static constexpr int kMinTagBytes = 12;
  static constexpr int kDefaultTagBytes = 12;  // a tag length of 0 stands for 96 bits
  // Counter blocks one message may use (SP 800-38D: 2^32 - 2 blocks of data).
  static constexpr uint32_t kMaxBlocks = 0xFFFFFFFEu;

  enum Phase { kPhaseIv = 0, kPhaseAad = 1, kPhaseData = 2, kPhaseDone = 3 };

  GcmContext();
  ~GcmContext();
  GcmContext(const GcmContext&) = delete;
  GcmContext& operator=(const GcmContext&) = delete;

  bool Allocated() const { return aes_.Allocated(); }

  // Key of 16, 24 or 32 bytes (else 3001; 200 when the AES schedule is missing). Builds H and its
  // tables and starts a message (phase IV).
  int SetKey(const uint8_t* key, int length);
  // Starts a new message under the same key.
  void Restart();

  // Step interface. AddIv may be called repeatedly while collecting the IV; the first AddAad,
  // Crypt or Finish ends the IV (an empty IV gives 2003). A step out of order gives -1.
  int AddIv(const uint8_t* iv, size_t length);
  int AddAad(const uint8_t* aad, size_t length);
  // in and out may be the same buffer. 1001 (before any output) when the message would need more
  // than kMaxBlocks counter blocks.
  int Crypt(const uint8_t* in, size_t length, uint8_t* out, bool encrypt);
  // Making: writes *tag_length bytes (0 means 12; more than 16 writes 16) and reports the count.
  // Checking: compares that many bytes in constant time, 1000 on a difference. A length of 1..11
  // is -1 (a tag that short is no protection).
  int Finish(uint8_t* tag, int* tag_length, bool make);

  // One whole message: nonce, AAD, data (in may equal out), tag of tag_length bytes (0 means 12,
  // else 12..16, 2009 otherwise). Codes: 2002 no key, 2003 empty nonce, 2011 too long.
  int Seal(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
           const uint8_t* in, uint8_t* out, size_t length, uint8_t* tag, size_t tag_length);
  // Open checks the tag first: on a mismatch it returns 2010 and has written nothing to out.
  int Open(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
           const uint8_t* in, uint8_t* out, size_t length, const uint8_t* tag, size_t tag_length);

  int CopyFrom(const GcmContext& other);
  // Wipes the key, H, the tables and the message state; a key must be set again.
  void Clear();

  int phase() const { return state_.phase; }
  bool HasKey() const { return state_.has_key != 0; }
  bool UsesHardware() const { return state_.use_clmul != 0; }
  // Tests and benchmarks: false forces the table GHASH and the portable AES.
  void SetHardwareAllowed(bool allowed);
  // Tests: pretend most of the message's counter blocks are used up.
  void SetBlocksLeftForTesting(uint32_t blocks) { state_.blocks_left = blocks; }

  // Powers H^1..H^16 in the byte-reflected form of the carry-less multiply, and for each the XOR
  // of its two halves (Karatsuba).
  struct ClmulKey {
    uint8_t pow[16][16];
    uint8_t kar[16][16];
  };

 private:
  struct State {
    uint8_t y[16];        // GHASH accumulator; bytes are XORed in as they come
    uint8_t counter[16];  // last counter block used
    uint8_t j0[16];       // pre-counter block
    uint8_t scratch[16];  // the first IV bytes, then the current keystream block
    uint64_t hl[16];      // Shoup's table of H, low and high halves
    uint64_t hh[16];
    ClmulKey clmul;
    uint64_t iv_bytes;
    uint64_t aad_bytes;
    uint64_t data_bytes;
    uint32_t y_fill;       // bytes XORed into y since its last multiplication
    uint32_t stream_used;  // keystream bytes of scratch already used (16: none left)
    uint32_t blocks_left;
    int32_t phase;
    int32_t has_key;
    int32_t use_clmul;
  };

  int EndIv();
  int EnterData();
  void MultiplyY();
  void GhashAbsorb(const uint8_t* data, size_t length);
  void GhashBlocks(const uint8_t* data, size_t blocks);
  void CtrBlocks(const uint8_t* in, uint8_t* out, size_t blocks);
  void NextKeystreamBlock();
  void ComputeTag(uint8_t full[16]);

  AesContext aes_;
  State state_;
  bool hw_allowed_ = true;
};

}  // namespace tw
