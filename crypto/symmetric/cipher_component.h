// The cipher component: encrypts or decrypts one whole message, from memory, a file or a caller's
// stream to memory, a file or a caller's stream, with a key and IV given as bytes or derived from a
// password, the mode and padding of its settings, and optional AEAD protection (AES-GCM,
// ChaCha20-Poly1305). The blob client builds one per encrypted upload or download.
//
// Output safety:
//  - A file target is written to a temporary file beside it, which replaces the target only once
//    the whole message has been processed; on any failure the temporary file is removed and an
//    existing target is left as it was.
//  - A memory target is emptied on failure.
//  - An AEAD decryption releases no plaintext before its tag has verified (the engines hold it),
//    so a caller's stream receives nothing from a forged message.
//
// Memory: the input is read in pieces of 256 KiB and at most about one block of it is held
// between pieces, so files and streams of any size run in bounded memory (AEAD decryption
// excepted: its plaintext waits for the tag).
#pragma once

#include <cstdint>

#include "crypto/symmetric/aead_cipher.h"
#include "crypto/symmetric/cipher_engine.h"
#include "foundation/byte_string.h"
#include "foundation/caller_stream.h"
#include "foundation/component_base.h"

namespace tw {

// The public algorithm numbers.
enum EncryptionAlgorithm : int32_t {
  eaAES = 0,
  eaBlowfish = 1,
  eaCAST = 2,
  eaDES = 3,
  eaIDEA = 4,
  eaRC2 = 5,
  eaRC4 = 6,
  eaTEA = 7,
  eaTripleDES = 8,
  eaTwofish = 9,
  eaRijndael = 10,
  eaChaCha = 11,
  eaXSalsa20 = 12,
};
inline constexpr int kEncryptionAlgorithmCount = 13;

// Directions of Process.
inline constexpr int kCipherDecrypt = 0;
inline constexpr int kCipherEncrypt = 1;

// CipherMode values.
inline constexpr int kComponentModeCbc = 0;
inline constexpr int kComponentModeEcb = 1;
inline constexpr int kComponentModeOfb = 2;
inline constexpr int kComponentModeCfb = 3;
inline constexpr int kComponentModeCts = 4;
inline constexpr int kComponentModeOfb8 = 5;
inline constexpr int kComponentModeGcm = 6;
inline constexpr int kComponentModeCfb8 = 7;
inline constexpr int kComponentModeCtr = 8;

// PaddingMode values.
inline constexpr int kComponentPaddingPkcs7 = 0;
inline constexpr int kComponentPaddingZeros = 1;
inline constexpr int kComponentPaddingNone = 2;
inline constexpr int kComponentPaddingAnsiX923 = 3;
inline constexpr int kComponentPaddingIso10126 = 4;

// Result codes of the component (the engine's 2003, 2004, 2007, 2009 and 2011 pass through with
// the component's texts; 200 is out of memory).
inline constexpr int kErrCipherSetting = 101;  // algorithm, CipherMode, PaddingMode, digest name
inline constexpr int kErrCipherNoKey = 102;
inline constexpr int kErrCipherNoIv = 103;
inline constexpr int kErrCipherReadInput = 5;
inline constexpr int kErrCipherWriteOutput = 6;
inline constexpr int kErrCipherOpenInput = 4;
inline constexpr int kErrCipherCreateOutput = 8;
inline constexpr int kErrCipherBlockSize = 107;
inline constexpr int kErrCipherKeySize = 108;
inline constexpr int kErrCipherOutputExists = 111;
inline constexpr int kErrCipherEmptyInput = 112;
inline constexpr int kErrCipherPaddingForBlock = 119;
inline constexpr int kErrCipherIvSize = 123;
inline constexpr int kErrCipherTagMissing = 126;
inline constexpr int kErrCipherAadNotHex = 127;
inline constexpr int kErrCipherInvalidCiphertext = 128;  // also: no tag at the input's end
inline constexpr int kErrCipherGcmIvReuse = 129;
inline constexpr int kErrCipherSalsaRounds = 130;
inline constexpr int kErrCipherNotFips = 501;
inline constexpr int kErrCipherSecurityLibrary = 600;

class CipherComponent : public ComponentBase {
 public:
  // Bytes read from the input per step.
  static constexpr int kPieceBytes = 262144;

  CipherComponent();
  ~CipherComponent() override;

  int Config(ConfigRequest& request, const char** answer) override;

  // Every setting back to its default, every string emptied (secrets wiped), the caller's streams
  // forgotten, the algorithm applied. The last AES-GCM key is kept, so that a reset does not
  // open the way to reusing a nonce. True on success.
  bool Reset();

  // No change when equal; else the algorithm and its default key length. 0, or 101.
  int SetAlgorithm(int algorithm);
  int algorithm() const { return algorithm_; }

  // The whole message from the input to the output. direction 1 encrypts, 0 decrypts. 0 or a code
  // whose text is the last error text.
  int Process(int direction);
  int Encrypt() { return Process(kCipherEncrypt); }
  int Decrypt() { return Process(kCipherDecrypt); }

  // OutputMessage as bytes.
  void GetOutputBytes(const uint8_t** bytes, int* length) const;
  const ByteString& output_message() const { return output_message_; }

  // Key material. A non-empty KeyPassword derives Key and IV at each start (into these fields).
  int SetKey(const void* bytes, int length);
  const ByteString& key() const { return key_; }
  int SetIv(const void* bytes, int length);
  const ByteString& iv() const { return iv_; }
  int SetKeyPassword(const char* password);
  const ByteString& key_password() const { return key_password_; }
  // The IV the last start used (the owner's, derived or generated).
  const ByteString& iv_in_use() const { return iv_in_use_; }
  // The tag of the last AEAD encryption, or the expected tag set through AuthTag.
  const ByteString& tag_bytes() const { return tag_bytes_; }

  // Input: the caller's stream when set, else InputFile when named, else InputMessage.
  int SetInputMessage(const void* bytes, int length);
  int SetInputFile(const char* name);
  void SetInputStream(CallerStream* stream) { input_stream_ = stream; }
  // Output: the caller's stream when set, else OutputFile when named, else OutputMessage.
  int SetOutputFile(const char* name);
  void SetOutputStream(CallerStream* stream) { output_stream_ = stream; }

  void set_overwrite(bool on) { overwrite_ = on; }
  bool overwrite() const { return overwrite_; }
  void set_use_hex(bool on) { use_hex_ = on; }
  bool use_hex() const { return use_hex_; }
  void set_cipher_mode(int mode) { cipher_mode_ = mode; }
  int cipher_mode() const { return cipher_mode_; }
  void set_padding_mode(int padding) { padding_mode_ = padding; }
  int padding_mode() const { return padding_mode_; }
  void set_close_input_stream(bool on) { close_input_stream_ = on; }
  void set_close_output_stream(bool on) { close_output_stream_ = on; }
  void set_include_iv(bool on) { include_iv_ = on; }
  void set_include_auth_tag(bool on) { include_auth_tag_ = on; }

  // TEA family member for eaTEA: 0 XXTEA, 1 XTEA, 2 TEA; applied at once.
  int SetTeaAlgorithm(int which);
  int tea_algorithm() const { return tea_algorithm_; }

  // The engine, for tests that compare against it.
  const CipherEngine& engine() const { return engine_; }

 protected:
  // Selects the engine's cipher for the algorithm (and TEA member). 0 or 101.
  virtual int ApplyAlgorithm();
  // The options of the TEA family and Salsa20 for a start in this direction.
  virtual int ApplyAlgorithmOptions(int direction);
  // Progress of one Process: bytes read so far and percent (-1 when the size is unknown).
  virtual void FireProgress(int64_t processed, int percent) {}
  virtual void OnProgress(int64_t n);
  // Called once when Process fails.
  virtual void FireError(int code, const char* text) {}

 private:
  enum RunState { kIdle = 0, kCollectingIv = 1, kEncrypting = 2, kDecrypting = 3 };
  enum AeadKind { kAeadNone = 0, kAeadGcm = 1, kAeadChaCha = 2 };

  void ApplyDefaultKeySize();
  AeadKind CurrentAeadKind() const;
  bool IsStreamAlgorithm() const;
  int DefaultBlockBits() const;
  int IvBytesNeeded() const;
  int AeadTagBytes() const;

  int Prepare(int direction);
  int CheckFips();
  int ConfigureEngine();
  int DerivePasswordKey();
  int StartMessage(int direction);
  // One run step: data (may be null with length 0) appended to the message, output appended to
  // out. last ends the message.
  int Run(int direction, const uint8_t* data, int length, bool last, ByteString& out);
  int RunFail(int code, int direction);
  int Fail(int code, const char* text);

  int algorithm_ = eaAES;
  CipherEngine engine_;
  AeadCipher aead_;
  ByteString iv_;
  ByteString iv_in_use_;
  ByteString key_;
  ByteString input_message_;
  ByteString output_message_;
  ByteString input_file_;
  ByteString output_file_;
  ByteString key_password_;
  int32_t padding_mode_ = kComponentPaddingPkcs7;
  int32_t cipher_mode_ = kComponentModeCbc;
  CallerStream* input_stream_ = nullptr;
  CallerStream* output_stream_ = nullptr;
  SecretBuffer held_;  // input not yet processed
  int32_t state_ = kIdle;
  int64_t total_size_ = 0;
  int64_t processed_ = 0;
  bool full_reported_ = false;
  bool overwrite_ = false;
  bool use_hex_ = false;
  int32_t tea_algorithm_ = 0;
  int32_t tea_rounds_ = kTeaDefaultCycles;
  int32_t xtea_algorithm_ = 0;
  ByteString aad_bytes_;
  ByteString tag_bytes_;
  ByteString aad_text_;
  ByteString tag_text_;
  int32_t auth_tag_length_ = 128;
  ByteString last_gcm_key_;  // key and IV of the last AES-GCM encryption start
  ByteString last_gcm_iv_;
  int32_t chacha_aead_ = 0;
  int32_t salsa20_algorithm_ = 1;
  int32_t salsa_rounds_ = 20;
  bool close_input_stream_ = true;
  bool close_output_stream_ = true;
  int32_t block_size_ = 0;
  int32_t key_size_ = 0;
  ByteString key_password_algorithm_;
  ByteString key_password_salt_;
  bool include_iv_ = false;
  bool include_auth_tag_ = false;
  int32_t key_password_iterations_ = -1;
  int32_t iv_length_ = 12;
  bool use_fips_ = false;
  uint64_t initial_counter_ = 0;
};

// The component as the blob client uses it: Progress and Error reach the EventSink (event 1:
// code, text; event 2: bytes processed as int64, percent), and the setting TeaAlgorithm picks the
// TEA family member.
class CipherComponentWithEvents : public CipherComponent {
 public:
  static constexpr int kEventError = 1;
  static constexpr int kEventProgress = 2;

  int Config(ConfigRequest& request, const char** answer) override;

 protected:
  void FireProgress(int64_t processed, int percent) override;
  void FireError(int code, const char* text) override;
};

// Decodes a hexadecimal setting text into bytes (non-hex characters are skipped, a lone last
// digit dropped). 0 or the encoder's code.
int DecodeHexSetting(const char* text, ByteString& out);

}  // namespace tw
