// ChaCha20-Poly1305 (RFC 8439): ChaCha20 encryption, authenticated by Poly1305 under a key taken
// from the first keystream block.
//
// As with GcmContext there is a step interface (Start, AddAad, Crypt, Finish) for the cipher
// engine and a one-shot Seal/Open pair for record layers, which works in place, allocates nothing
// and checks the tag before decrypting. A 12-byte nonce takes a 32-bit block counter (RFC 8439),
// an 8-byte nonce a 64-bit one (ChaCha as first published). The counter never wraps: a message
// that would need more blocks than remain is refused (2011) before any output.
//
// Bulk keystream runs sixteen blocks at a time with AVX-512, eight with AVX2 and four with SSSE3
// where the processor has them (chosen at run time, see cpu_features.h; SetHardwareLevel forces a
// narrower path or the portable block function, for tests).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/aead_common.h"
#include "crypto/symmetric/poly1305.h"
#include "foundation/byte_string.h"

namespace tw {

// True when this processor and system can run a grouped keystream.
bool ChaCha20WideAvailable();
// The widest path available: 0 portable, 1 AVX2 (or SSSE3 without it), 2 AVX-512.
int ChaCha20WideLevel();

class ChaCha20Poly1305Context {
 public:
  static constexpr int kKeyBytes = 32;
  static constexpr int kTagBytes = 16;

  ChaCha20Poly1305Context();
  ~ChaCha20Poly1305Context();
  ChaCha20Poly1305Context(const ChaCha20Poly1305Context&) = delete;
  ChaCha20Poly1305Context& operator=(const ChaCha20Poly1305Context&) = delete;

  // The block counter Seal and Open start from (the Poly1305 key block; data uses the next ones).
  void SetInitialCounter(uint64_t counter) { initial_counter_ = counter; }
  uint64_t InitialCounter() const { return initial_counter_; }

  // Step interface. Start: key of 32 bytes (else 3001), nonce of 12 or 8 bytes (else 3000), a
  // counter that a 12-byte nonce cannot hold gives 2011. The AAD goes in before any data (in any
  // number of pieces); a step out of order gives -1.
  int Start(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length, uint64_t counter,
            bool encrypt);
  // Also keeps a copy of the AAD (200 when it cannot).
  int AddAad(const uint8_t* aad, size_t length);
  // in and out may be the same buffer; 2011 before any output when the counter would run out.
  int Crypt(const uint8_t* in, size_t length, uint8_t* out, bool encrypt);
  // Making writes the 16-byte tag. Checking wants exactly 16 bytes equal to the computed tag
  // (constant time), else 1000; a null tag is -1.
  int Finish(uint8_t* tag, int tag_length, bool make);
  const ByteString& aad() const { return aad_; }

  // One-shot path: the key once, then any number of messages.
  int SetKey(const uint8_t* key, int key_length);
  // Codes: 2002 no key, 2003 nonce not 12 or 8 bytes, 2011 too long for the counter.
  int Seal(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
           const uint8_t* in, uint8_t* out, size_t length, uint8_t tag[kTagBytes]);
  // 2010, with nothing written to out, unless the tag is exactly 16 bytes and verifies.
  int Open(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
           const uint8_t* in, uint8_t* out, size_t length, const uint8_t* tag, size_t tag_length);

  // Wipes key, keystream state, Poly1305 state and the AAD copy.
  void Clear();
  bool UsesHardware() const;
  void SetHardwareAllowed(bool allowed) { hw_level_ = allowed ? 2 : 0; }
  // Tests and benchmarks: at most this path (0 portable, 1 AVX2 or SSSE3, 2 AVX-512).
  void SetHardwareLevel(int level) { hw_level_ = level; }

 private:
  enum Phase { kIdle = 0, kAad = 1, kData = 2, kDone = 3 };

  // The ChaCha20 keystream: state words, the current block and the block counter.
  struct Stream {
    uint32_t state[16];
    uint8_t block[64];
    uint64_t next;         // counter of the next block to generate
    uint64_t blocks_left;  // blocks that may still be generated
    uint32_t used;         // bytes of block already used
    int32_t wide;          // 64-bit counter (8-byte nonce)
  };

  int Begin(const uint8_t* nonce, int nonce_length, uint64_t counter);
  void StreamBlock(uint8_t out[64]);
  void StreamXor(const uint8_t* in, uint8_t* out, size_t length);
  bool StreamHasRoom(size_t length) const;
  void EnterData();
  void ComputeTag(uint8_t tag[kTagBytes]);

  Stream stream_;
  Poly1305Context poly_;
  ByteString aad_;
  uint64_t aad_bytes_ = 0;
  uint64_t data_bytes_ = 0;
  uint64_t initial_counter_ = 0;
  uint8_t key_[kKeyBytes];
  int phase_ = kIdle;
  bool has_key_ = false;
  bool encrypting_ = true;
  int hw_level_ = 2;
};

}  // namespace tw
