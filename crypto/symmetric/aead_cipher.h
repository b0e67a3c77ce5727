// AeadCipher: one AEAD message at a time for the cipher component, over an AES-GCM or a
// ChaCha20-Poly1305 context (only the one of the current kind exists).
//
// Set the kind, key and nonce (Configure or Start), the AAD, then Process the data in any number
// of calls, the last one flagged. Encryption appends ciphertext as it goes and makes the 128-bit
// tag at the end. Decryption holds the ciphertext until the last call and releases plaintext only
// once the expected tag has verified; a failed check empties the output (2010).
#pragma once

#include <cstdint>

#include "crypto/symmetric/aead_common.h"
#include "crypto/symmetric/chacha20_poly1305.h"
#include "crypto/symmetric/gcm.h"
#include "foundation/byte_string.h"

namespace tw {

class AeadCipher {
 public:
  enum Kind { kAesGcm = 0, kChaCha20Poly1305 = 1, kNone = 2 };
  enum State { kNonceSet = 0, kReady = 1, kStarted = 2 };

  AeadCipher() = default;
  ~AeadCipher();
  AeadCipher(const AeadCipher&) = delete;
  AeadCipher& operator=(const AeadCipher&) = delete;

  // 2001 for a kind other than 0 and 1; 200 when the context cannot be made.
  int SetKind(int kind);
  // ChaCha20-Poly1305: 8 or 12 bytes; AES-GCM: any length but 0; kind none: only 0 bytes. 2003
  // otherwise.
  int SetNonce(const uint8_t* bytes, int length);
  // Stores key and nonce for the kind, clears the previous tag, state kNonceSet.
  int Configure(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length, int kind,
                int encrypting);
  int Start(int kind, int encrypting);
  // Before the data starts (else 2002); state kNonceSet becomes kReady.
  int SetAad(const uint8_t* bytes, int length);
  // Only 128 is accepted (2009).
  int SetTagBits(int bits);
  int SetTag(const uint8_t* bytes, int length);
  const ByteString& GetTag() const { return tag_; }
  void SetInitialCounter(uint64_t counter) { counter_ = counter; }

  // Appends the result for `length` bytes from input + offset to output. The first call starts
  // the context (2002 unless the AAD step came first). Last call: encryption makes the tag;
  // decryption checks it (2008 without one, 2010 on a mismatch, output emptied) and appends all
  // of the plaintext. 2011 when the message is too long for the counter.
  int Process(const uint8_t* input, int offset, int length, ByteString& output, bool last);

  int kind() const { return kind_; }
  int state() const { return state_; }
  int encrypting() const { return encrypting_; }
  int TagBits() const { return tag_bits_; }
  // Tests: forces the portable code paths of the contexts.
  void SetHardwareAllowed(bool allowed);

 private:
  void FreeContexts();
  int StartContext();
  int Fail(ByteString& output, int rc);

  int32_t kind_ = kNone;
  int32_t key_bits_ = 256;
  int32_t tag_bytes_ = 16;
  int32_t block_bits_ = 128;
  int32_t tag_bits_ = 128;
  uint64_t counter_ = 0;
  int32_t encrypting_ = 1;
  ByteString tag_;
  ByteString nonce_;
  ByteString key_;
  ByteString aad_;
  ByteString held_;  // ciphertext of a decryption, until its tag is checked
  int32_t state_ = kNonceSet;
  GcmContext* gcm_ = nullptr;
  ChaCha20Poly1305Context* chacha_ = nullptr;
  bool hw_allowed_ = true;
};

}  // namespace tw
