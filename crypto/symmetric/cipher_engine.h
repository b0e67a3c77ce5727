// The one symmetric-cipher object: a cipher chosen by id or name, a key, an IV, a mode and a
// padding; a start, any number of Update calls and one Final per message.
//
// Every block cipher runs in ECB, CBC, OFB, CFB (full block or 8-bit), CTR and CBC with ciphertext
// stealing; RC4, ChaCha20 and Salsa20 run as keystreams; AES-GCM and ChaCha20-Poly1305 as AEAD.
//
// Two rules keep a decryption from handing out bytes it has not vetted:
//  - With a padding to remove, the last block of plaintext is held back until Final has checked
//    the padding (every pad byte, constant time); a bad padding gives 2004 and nothing of Final.
//  - An AEAD decryption releases no plaintext before Final has checked the tag; a mismatch gives
//    2010 and an empty output. Update therefore appends nothing while decrypting AEAD data.
//
// Keys, IVs, chaining state, held plaintext and the cipher contexts are wiped when released.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/aes.h"
#include "crypto/symmetric/blowfish.h"
#include "crypto/symmetric/cast128.h"
#include "crypto/symmetric/chacha20.h"
#include "crypto/symmetric/chacha20_poly1305.h"
#include "crypto/symmetric/cipher_primitives.h"
#include "crypto/symmetric/des.h"
#include "crypto/symmetric/gcm.h"
#include "crypto/symmetric/idea.h"
#include "crypto/symmetric/rc2.h"
#include "crypto/symmetric/rc4.h"
#include "crypto/symmetric/salsa20.h"
#include "crypto/symmetric/tea.h"
#include "crypto/symmetric/twofish.h"
#include "foundation/byte_string.h"

namespace tw {

// Cipher ids.
inline constexpr int kCipherAes = 0;
inline constexpr int kCipherDes = 1;
inline constexpr int kCipherTripleDes = 2;
inline constexpr int kCipherCast128 = 3;
inline constexpr int kCipherBlowfish = 4;
inline constexpr int kCipherTwofish = 5;
inline constexpr int kCipherIdea = 6;
inline constexpr int kCipherRc4 = 7;
inline constexpr int kCipherRc2 = 8;
inline constexpr int kCipherTea = 9;
inline constexpr int kCipherXtea = 10;
inline constexpr int kCipherXxtea = 11;
inline constexpr int kCipherAesGcm = 12;
inline constexpr int kCipherRijndael = 13;
inline constexpr int kCipherChaCha20 = 14;
inline constexpr int kCipherChaCha20Poly1305 = 15;
inline constexpr int kCipherSalsa20 = 16;
inline constexpr int kCipherCount = 17;

// Paddings. Any other value pads with zero bytes and removes nothing.
inline constexpr int kPaddingNone = 1;
inline constexpr int kPaddingPkcs7 = 2;
inline constexpr int kPaddingZeros = 3;
inline constexpr int kPaddingAnsiX923 = 4;
inline constexpr int kPaddingIso10126 = 5;

// Result codes of the engine (the primitives add 3000..3002, 200 is out of memory).
inline constexpr int kErrCipherUnknown = 2001;
inline constexpr int kErrCipherMode = 2002;        // also: no message started
inline constexpr int kErrCipherDataLength = 2003;  // not a whole number of blocks; bad AEAD nonce
inline constexpr int kErrCipherPadding = 2004;
inline constexpr int kErrCipherKeyBits = 2005;
inline constexpr int kErrCipherBlockBits = 2006;  // = kErrCipherBlockLength
inline constexpr int kErrCipherCtsTooShort = 2007;
inline constexpr int kErrCipherNoTag = 2008;
inline constexpr int kErrCipherTagBits = 2009;
inline constexpr int kErrCipherAuthentication = 2010;
inline constexpr int kErrCipherTooManyBlocks = 2011;
inline constexpr int kErrPlatformCipherMissing = 600;

// A growable byte buffer for secrets: it never leaves copies behind when it grows, and wipes
// itself when emptied or destroyed.
class SecretBuffer {
 public:
  SecretBuffer() = default;
  ~SecretBuffer() { Release(); }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Sets the size; new bytes are zero. 200 when the storage cannot grow (contents kept).
  int Resize(size_t n);
  int Append(const uint8_t* p, size_t n);
  int Assign(const uint8_t* p, size_t n);
  int CopyFrom(const SecretBuffer& other) { return Assign(other.data_, other.size_); }
  // Drops the first n bytes (wiping the tail the move leaves behind).
  void EraseFront(size_t n);
  // Wipes the contents and empties the buffer; the storage is kept for reuse.
  void Clear();
  // Wipes and frees the storage.
  void Release();

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class CipherEngine {
 public:
  static constexpr int kFixedBlockBytes = 1024;

  CipherEngine();
  ~CipherEngine();
  CipherEngine(const CipherEngine&) = delete;
  CipherEngine& operator=(const CipherEngine&) = delete;

  // Selection. SetAlgorithm sets the id's defaults (key, block and feedback bits; mode and
  // padding where the id has them); 2001 for an id outside 0..16, nothing changed then.
  int SetAlgorithm(int id);
  // Blanks at both ends removed, ASCII lower-cased, then an exact name of the table; else 2001.
  int SetAlgorithmByName(const char* name);

  int CheckKeyBits(int bits) const;  // 2005
  int SetKeyBits(int bits);
  int CheckBlockBits(int bits) const;  // 2006
  int SetBlockBits(int bits);          // also the feedback bits of the full-block modes
  // The IV length in bits: for AES-GCM and ChaCha20-Poly1305 the tag length (what record layers
  // pass), for every other cipher the block length.
  int SetIvBits(int bits);

  // A change of mode, padding, feedback or block length ends a running message.
  void SetMode(int mode);
  void SetPadding(int padding);
  // 8 selects the 8-bit OFB and CFB; any other value the full-block forms.
  void SetFeedbackBits(int bits);
  void SetUsePlatformCipher(bool on) { use_platform_cipher_ = on ? 1 : 0; }

  // Checked against the key rule (2005) and kept.
  int SetKey(const uint8_t* key, int length);
  const ByteString& GetKey() const { return key_; }
  // Ignored by a block cipher in ECB; kept unchecked for AES-GCM (any length but 0, checked at
  // the start) and ChaCha20-Poly1305; otherwise checked against the block rule (2006). A block
  // cipher started without an IV chains from zeros; one of another length than the block is 2006.
  int SetIv(const uint8_t* iv, int length);
  const ByteString& GetIv() const { return iv_; }
  // AES-GCM tag length: 0 (meaning 96) or 96..128 in steps of 8, else 2009.
  int SetTagBits(int bits);
  // The expected tag of an AEAD decryption. Set it before or after the decryption start, before
  // Final; a start keeps it, Final consumes it.
  int SetTag(const uint8_t* tag, int length);
  // After an AEAD encryption: the tag Final made.
  const ByteString& GetTag() const { return tag_; }
  // Additional authenticated data, given before the start.
  int SetAad(const uint8_t* aad, int length);
  void SetInitialCounter(uint64_t counter) { initial_counter_ = counter; }

  // Copied into the cipher contexts at each start.
  int SetTeaRounds(int cycles);
  void SetXteaVariant(int variant) { xtea_variant_ = variant; }
  int SetSalsaRounds(int rounds);  // 8, 12 or 20, else 3002
  void SetSalsaVariant(int variant) { salsa_variant_ = variant; }

  // Starts a message: the register from the IV, the key schedule for the direction.
  int StartEncrypt();
  int StartDecrypt();
  int BeginEncrypt(const uint8_t* key, int key_length, const uint8_t* iv, int iv_length);
  int BeginDecrypt(const uint8_t* key, int key_length, const uint8_t* iv, int iv_length);

  // Processes input[offset .. offset + *length) and appends the result to output. Block modes
  // other than OFB and CFB take whole blocks only: *length is cut to them and the caller keeps
  // the rest for the next call. output must not overlap the input.
  int Update(const uint8_t* input, int offset, int* length, ByteString& output);
  // The last data of the message, with padding, ciphertext stealing or the AEAD tag. Ends the
  // message: the next Update or Final needs a new start (else 2002). ISO 10126 filler comes from
  // the system generator: kErrRandomUnavailable, and nothing of Final, when it fails.
  int Final(const uint8_t* input, int offset, int length, ByteString& output);
  int Final(const uint8_t* input, int length, ByteString& output) { return Final(input, 0, length, output); }

  // Copies the selection, key, IV, register and every context but ChaCha20-Poly1305's: a running
  // message continues in the copy. Tag and AAD stay behind.
  int CopyFrom(const CipherEngine& other);
  // Wipes key, IV, register, held data, tag, AAD and every context; the selection stays.
  void Wipe();

  int CipherId() const { return cipher_id_; }
  int KeyBits() const { return key_bits_; }
  int BlockBits() const { return block_bits_; }
  int Mode() const { return mode_; }
  int Padding() const { return padding_; }
  int FeedbackBits() const { return feedback_bits_; }
  int Encrypting() const { return encrypting_; }
  int IsStream() const { return is_stream_; }
  int UsePlatformCipher() const { return use_platform_cipher_; }
  int TagBits() const { return tag_bits_; }
  uint64_t InitialCounter() const { return initial_counter_; }
  const ByteString& Register() const { return register_; }
  bool Started() const { return started_; }

  // Tests and benchmarks: false keeps AES and GCM on their portable code.
  void SetHardwareAllowed(bool allowed);

 private:
  // Key set-up and the block or keystream functions of one cipher; kCipherOps holds them by id.
  struct CipherOps {
    int (*set_up)(CipherEngine& e, const uint8_t* key, int key_length);
    int (*encrypt_block)(CipherEngine& e, const uint8_t* in, uint8_t* out);  // null: none
    int (*decrypt_block)(CipherEngine& e, const uint8_t* in, uint8_t* out);
    int (*crypt)(CipherEngine& e, const uint8_t* in, size_t length, uint8_t* out);  // keystreams
  };
  template <auto kContext>
  static constexpr CipherOps BlockCipherOps();
  static const CipherOps kCipherOps[kCipherCount];
  const CipherOps* Ops() const;  // null for an id outside the table

  // Grows output by n bytes and returns where they start, or null (out of memory).
  static uint8_t* GrowOutput(ByteString& output, size_t n);
  // Takes output back to old bytes, wiping what it drops.
  static void ShrinkOutput(ByteString& output, int old);

  int Start(int encrypting);
  int SetUpKey();
  int CheckBlockSetup();

  // Block functions of the selected cipher (b bytes each).
  int EncryptBlock(const uint8_t* in, uint8_t* out);
  int DecryptBlock(const uint8_t* in, uint8_t* out);
  int EncryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks);
  int DecryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks);
  uint8_t* ScratchIn();
  uint8_t* ScratchOut();

  // The modes, over whole blocks (ECB, CBC, CTR) or any bytes (OFB, CFB).
  int RunEcb(const uint8_t* in, uint8_t* out, size_t blocks);
  int RunCbc(const uint8_t* in, uint8_t* out, size_t blocks);
  int RunCtr(const uint8_t* in, uint8_t* out, size_t blocks);
  int RunOfb(const uint8_t* in, uint8_t* out, size_t length);
  int RunCfb(const uint8_t* in, uint8_t* out, size_t length);
  int RunShiftIn8(const uint8_t* in, uint8_t* out, size_t length, bool cipher_feedback);
  int RunBlockMode(const uint8_t* in, uint8_t* out, size_t length);
  void IncrementCounter();

  // Decryption output: through the held-back last block when a padding is to be removed.
  int EmitPlain(const uint8_t* in, size_t length, ByteString& output);
  int ProcessBlocks(const uint8_t* in, size_t length, ByteString& output);

  int UpdateStream(const uint8_t* in, size_t length, ByteString& output);
  int FinalStream(const uint8_t* in, size_t length, ByteString& output);
  int UpdateBlock(const uint8_t* in, int* length, ByteString& output);
  int FinalBlock(const uint8_t* in, size_t length, ByteString& output);
  int CtsAbsorb(const uint8_t* in, size_t length, ByteString& output);
  int CtsFinish(ByteString& output);
  int PadAndFinish(const uint8_t* in, size_t length, ByteString& output);
  int UnpadAndFinish(const uint8_t* in, size_t length, ByteString& output);
  bool RemovesPadding() const;
  bool HoldsBackPlaintext() const;
  int TagBytes() const;
  void EndMessage();

  // Selection and settings.
  int32_t cipher_id_ = kCipherAes;
  int32_t key_bits_ = 256;
  int32_t block_bits_ = 128;
  int32_t mode_ = kCipherModeCbc;
  int32_t padding_ = kPaddingNone;
  int32_t feedback_bits_ = 128;
  int32_t encrypting_ = 1;
  int32_t is_stream_ = 0;
  int32_t use_platform_cipher_ = 0;
  ByteString iv_;
  ByteString key_;
  ByteString register_;
  ByteString tag_;
  ByteString aad_;
  int32_t tag_bits_ = 96;
  uint64_t initial_counter_ = 0;
  int32_t tea_rounds_ = kTeaDefaultCycles;
  int32_t xtea_variant_ = 0;
  int32_t salsa_rounds_ = 20;
  int32_t salsa_variant_ = kXSalsa20Variant;

  // Per-algorithm contexts, made with the engine.
  AesContext aes_;
  DesContext des_;
  TripleDesContext tdes_;
  Cast128Context cast_;
  BlowfishContext blowfish_;
  TwofishContext twofish_;
  IdeaContext idea_;
  Rc4Context rc4_;
  Rc2Context rc2_;
  TeaContext tea_;
  XteaContext xtea_;
  XxteaContext xxtea_;
  GcmContext gcm_;
  RijndaelContext rijndael_;
  ChaCha20Context chacha_;
  ChaCha20Poly1305Context chacha_poly_;
  Salsa20Context salsa_;

  // Message state.
  uint8_t in_block_[kFixedBlockBytes];
  uint8_t out_block_[kFixedBlockBytes];
  SecretBuffer big_in_;  // blocks over kFixedBlockBytes (XXTEA)
  SecretBuffer big_out_;
  SecretBuffer pending_;  // CTS: the last one or two blocks
  SecretBuffer held_;     // plaintext not yet released (padding or AEAD tag unchecked)
  size_t block_bytes_ = 16;
  size_t stream_pos_ = 0;       // OFB/CFB: bytes of the current register block used
  uint64_t message_bytes_ = 0;  // bytes through the mode in this message
  bool started_ = false;
  bool tag_expected_ = false;  // tag_ holds a caller's expected tag, not one we made
  bool gcm_keyed_ = false;     // the GCM context holds key_ already
};

// Wipes an engine's keys and working state (its selection stays).
void DestroyCipherContext(CipherEngine& engine);

// One direction of a record layer's cipher: an engine started once and kept running across
// records, except that an AEAD message ends with every record and carries its 16-byte tag.
class CipherHolder {
 public:
  CipherEngine& engine() { return engine_; }
  const CipherEngine& engine() const { return engine_; }

  int SetCipherName(const char* name) { return name_.SetText(name); }
  const ByteString& CipherName() const { return name_; }

  // Encrypts a record's data (whole blocks for a block cipher, else 2003); for AEAD appends the
  // tag and ends the message, so the next record starts again from the IV set meanwhile.
  int EncryptChunk(const uint8_t* input, int length, ByteString& output);
  // The same for decryption; for AEAD the expected tag is given to the engine (SetTag) before.
  // A tag that does not verify leaves output empty and gives 2010.
  int DecryptChunk(const uint8_t* input, int length, ByteString& output);
  // Forgets that the directions were started (after new keys).
  void Restart() { encrypt_started_ = decrypt_started_ = false; }

 private:
  bool IsAead() const;
  int Chunk(bool encrypt, const uint8_t* input, int length, ByteString& output);

  CipherEngine engine_;
  ByteString name_;
  bool encrypt_started_ = false;
  bool decrypt_started_ = false;
};

}  // namespace tw
