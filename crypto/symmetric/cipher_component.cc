#include "crypto/symmetric/cipher_component.h"

#include <climits>
#include <cstring>

#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/kdf.h"
#include "crypto/symmetric/random_source.h"
#include "foundation/file_handle.h"
#include "foundation/file_path.h"
#include "foundation/file_replacement.h"
#include "foundation/text_conversion.h"
#include "platform/file.h"
#include "platform/last_error.h"

namespace tw {
namespace {

// ---------------------------------------------------------------------------------------------
// Messages

constexpr char kTextUnsupportedAlgorithm[] = "Unsupported algorithm";
constexpr char kTextInvalidCipherMode[] = "Invalid CipherMode.";
constexpr char kTextInvalidPaddingMode[] = "Invalid PaddingMode.";
constexpr char kTextInvalidDigest[] = "Invalid KeyPasswordAlgorithm.";
constexpr char kTextInvalidIterations[] = "Invalid KeyPasswordIterations.";
constexpr char kTextInvalidTeaRounds[] = "Invalid TeaRounds.";
constexpr char kTextNoKey[] = "No Key specified.";
constexpr char kTextNoIv[] = "IV must be specified.";
constexpr char kTextBlockSize[] = "Block size is not valid for this algorithm.";
constexpr char kTextKeySize[] = "Key size is not valid for this algorithm.";
constexpr char kTextKeyLength[] = "Specified key is not a valid size for this algorithm.";
constexpr char kTextIvLength[] = "Specified IV is not a valid size for this algorithm.";
constexpr char kTextOutputExists[] = "OutputFile already exists and Overwrite is False.";
constexpr char kTextEmptyInput[] = "Input cannot be empty.";
constexpr char kTextTagMissing[] = "AuthTag must be specified.";
constexpr char kTextAadNotHex[] = "AdditionalAuthData must be hex encoded.";
constexpr char kTextNoAuthTag[] = "No AuthTag found!";
constexpr char kTextInvalidCiphertext[] = "Invalid cipher text.";
constexpr char kTextGcmReuse[] = "Cannot reuse IV for AES GCM encryption.";
constexpr char kTextSalsaRounds[] = "The number of rounds must be 8, 12, or 20.";
constexpr char kTextFipsGcm[] = "FIPS compliant AES-GCM is not implement yet.";
constexpr char kTextFipsAlgorithm[] = "This algorithm is not FIPS compliant.";
constexpr char kTextFipsMode[] = "CTS and OFB are not supported in FIPS compliant mode.";
constexpr char kTextFipsDigest1[] = "The KeyPasswordAlgorithm ";
constexpr char kTextFipsDigest2[] =
    " is not supported in FIPS compliant mode. The supported KeyPasswordAlgorithm values are: "
    "HMAC-SHA1, HMAC-SHA256, HMAC-SHA384, and HMAC-SHA512.";
constexpr char kTextSecurityLibrary[] = "The security library could not be loaded.";
constexpr char kTextLengthEncrypt[] = "Length is not a multiple of InputBlockSize and Padding is set to None.";
constexpr char kTextLengthDecrypt[] = "Length must be a multiple of InputBlockSize.";
constexpr char kTextBadPadding[] = "Invalid padding. This may be an indication that the key is incorrect.";
constexpr char kTextCtsTooShort[] = "CTS require the plaintext to be longer than one block.";
constexpr char kTextTagLength[] = "Tag length is not valid.";
constexpr char kTextTooManyBlocks[] = "Too many blocks.";
constexpr char kTextOutOfMemory[] = "Out of memory.";
constexpr char kTextReadInput[] = "Cannot read from the input.";
constexpr char kTextWriteOutput[] = "Cannot write to the output.";
constexpr char kTextOpenInput[] = "Cannot open InputFile \"";
constexpr char kTextCreateOutput[] = "Cannot create OutputFile \"";
constexpr char kTextReplaceOutput[] = "Cannot replace OutputFile \"";
constexpr char kTextCipherError[] = "Cipher error ";

// A code the platform cipher layer gives for a bad padding in FIPS mode.
constexpr int kErrPlatformPadding = 603;

constexpr char kTempPrefix[] = "tmp";
constexpr int kGcmNonceBytes = 12;
constexpr int kAeadTagBytes = 16;
constexpr int kAeadBlockBytes = 16;
constexpr int kDefaultGcmTagBits = 96;
// A pad count is one byte: blocks of this many bits or more cannot carry one.
constexpr int kCountedPadBlockLimitBits = 2048;
constexpr int kHmacIterations = 10000;
constexpr int kDigestIterations = 10;

// ---------------------------------------------------------------------------------------------
// Tables

struct AlgorithmInfo {
  int engine_id;         // -1: the TEA family, chosen by TeaAlgorithm
  int block_bits;        // the engine's default
  int default_key_bits;  // 0: the engine's default
  bool stream;
};

constexpr AlgorithmInfo kAlgorithms[kEncryptionAlgorithmCount] = {
    {kCipherAes, 128, 0, false},         // eaAES
    {kCipherBlowfish, 64, 448, false},   // eaBlowfish
    {kCipherCast128, 64, 0, false},      // eaCAST
    {kCipherDes, 64, 0, false},          // eaDES
    {kCipherIdea, 64, 0, false},         // eaIDEA
    {kCipherRc2, 64, 128, false},        // eaRC2
    {kCipherRc4, 64, 2048, true},        // eaRC4
    {-1, 64, 0, false},                  // eaTEA
    {kCipherTripleDes, 64, 192, false},  // eaTripleDES
    {kCipherTwofish, 128, 0, false},     // eaTwofish
    {kCipherRijndael, 128, 0, false},    // eaRijndael
    {kCipherChaCha20, 512, 0, true},     // eaChaCha
    {kCipherSalsa20, 512, 0, true},      // eaXSalsa20
};

// TeaAlgorithm 0, 1, 2.
constexpr int kTeaEngineIds[] = {kCipherXxtea, kCipherXtea, kCipherTea};

struct ModeInfo {
  int engine_mode;
  bool feedback8;
};

// By CipherMode; GCM keeps the engine's mode (AES-GCM is its own engine cipher).
constexpr ModeInfo kModes[] = {
    {kCipherModeCbc, false}, {kCipherModeEcb, false}, {kCipherModeOfb, false},
    {kCipherModeCfb, false}, {kCipherModeCts, false}, {kCipherModeOfb, true},
    {kCipherModeGcm, false}, {kCipherModeCfb, true},  {kCipherModeCtr, false},
};
constexpr int kModeCount = static_cast<int>(sizeof kModes / sizeof kModes[0]);

// By PaddingMode.
constexpr int kPaddings[] = {kPaddingPkcs7, kPaddingZeros, kPaddingNone, kPaddingAnsiX923, kPaddingIso10126};
constexpr int kPaddingCount = static_cast<int>(sizeof kPaddings / sizeof kPaddings[0]);

// KeyPasswordAlgorithm: names starting with "hmac" must hold one of these digests.
constexpr const char* kHmacDigests[] = {"ripemd160", "sha1", "md5", "sha224", "sha256", "sha384", "sha512"};
constexpr const char* kPlainDigests[] = {"sha1", "md5", "md2"};
constexpr const char* kFipsDigests[] = {"HMAC-SHA1", "HMAC-SHA256", "HMAC-SHA384", "HMAC-SHA512"};

bool ValidAlgorithm(int algorithm) { return algorithm >= 0 && algorithm < kEncryptionAlgorithmCount; }

bool IsAsciiAlnum(int c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The upper-case hexadecimal text of n bytes.
int AppendHexUpper(ByteString& out, const uint8_t* p, int n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const int old = out.length();
  if (n > (INT_MAX - 1 - old) / 2) return kErrOutOfMemory;
  int rc = out.Resize(old + 2 * n);
  if (rc != kOk) return rc;
  char* d = out.data() + old;
  for (int i = 0; i < n; ++i) {
    d[2 * i] = kDigits[p[i] >> 4];
    d[2 * i + 1] = kDigits[p[i] & 15];
  }
  return kOk;
}

// Hex digits of a piece into bytes; a digit without its partner waits in *high for the next
// piece, so hexadecimal text may be split anywhere. Other characters are skipped.
size_t DecodeHexPiece(const uint8_t* in, size_t n, int* high, uint8_t* out) {
  size_t count = 0;
  for (size_t i = 0; i < n; ++i) {
    const int v = HexDigitValue(in[i]);
    if (v < 0) continue;
    if (*high < 0) {
      *high = v;
    } else {
      out[count++] = static_cast<uint8_t>(*high << 4 | v);
      *high = -1;
    }
  }
  return count;
}

// The UTF-16 form of a file name under the naming rule of the file functions.
int WideFileName(const char* name, unsigned cp, ByteString& wide) {
  FilePath path;
  int rc = path.SetText(name, cp);
  if (rc != kOk) return rc;
  if (path.is_wide()) {
    return wide.Set(path.wide(), (path.Length() + 1) * static_cast<int>(sizeof(char16_t)));
  }
  return WidenName(path.narrow(), 0, wide);
}

// The folder part of a file name, through its last separator; "./" when it has none.
int FolderOf(const ByteString& name, ByteString& folder) {
  int cut = -1;
  for (int i = 0; i < name.length(); ++i) {
    if (name.data()[i] == '/' || name.data()[i] == '\\') cut = i;
  }
  if (cut < 0) return folder.SetText("./");
  return folder.Set(name.data(), cut + 1);
}

// The output of one run step. A lead of bytes that are never written out keeps the string's heap
// block from one piece to the next, instead of freeing and allocating a piece's worth each time.
class StepOutput {
 public:
  static constexpr int kLead = ByteString::kInline + 1;

  ~StepOutput() { WipeString(text_); }
  int Begin() {
    if (text_.length() > kLead) WipeBytes(text_.data() + kLead, static_cast<size_t>(text_.length() - kLead));
    return text_.Resize(kLead);
  }
  ByteString& text() { return text_; }
  const uint8_t* data() const { return text_.bytes() + kLead; }
  int size() const { return text_.length() > kLead ? text_.length() - kLead : 0; }

 private:
  ByteString text_;
};

// Where one Process reads from: the caller's stream, a file or the input message.
class MessageSource {
 public:
  void UseStream(CallerStream* stream) {
    stream_ = stream;
    total_ = static_cast<int64_t>(stream->Size());
  }
  int UseFile(const char* name, unsigned cp) {
    int rc = file_.OpenReadText(name, 0, cp);
    if (rc != kOk) return rc;
    total_ = file_.GetSize();
    return kOk;
  }
  void UseMemory(const ByteString& message) {
    memory_ = message.bytes();
    total_ = message.length();
  }

  // Bytes read (0 at the end), or -1.
  int Read(uint8_t* buffer, int n) {
    if (stream_ != nullptr) {
      int got = stream_->Read(buffer, n);
      return got < 0 ? -1 : (got > n ? n : got);
    }
    if (file_.IsOpen()) {
      size_t got = 0;
      return file_.ReadSome(buffer, static_cast<size_t>(n), &got) == kOk ? static_cast<int>(got) : -1;
    }
    if (memory_ == nullptr) return 0;
    int64_t left = total_ - position_;
    int take = left < n ? static_cast<int>(left) : n;
    if (take > 0) std::memcpy(buffer, memory_ + position_, static_cast<size_t>(take));
    position_ += take;
    return take;
  }

  int64_t total() const { return total_; }
  // Lets go of an input file (it may be the file the output replaces).
  void Close() { file_.Close(); }

 private:
  CallerStream* stream_ = nullptr;
  FileHandle file_;
  const uint8_t* memory_ = nullptr;
  int64_t total_ = 0;
  int64_t position_ = 0;
};

// Where one Process writes to. A file target is written under a temporary name beside it and
// put in place by Commit; anything not committed is removed (the file) or wiped (the message).
class MessageSink {
 public:
  ~MessageSink() { Discard(); }

  void UseStream(CallerStream* stream) { stream_ = stream; }
  void UseMemory(ByteString* message) {
    WipeString(*message);
    memory_ = message;
  }
  // 0, or kErrCipherCreateOutput (also for a target folder that cannot take a new file).
  int UseFile(const ByteString& target, unsigned cp, bool replace) {
    cp_ = cp;
    replace_ = replace;
    // An existing file keeps its links, mode and owner, and its old bytes until the end.
    if (replace && GetFileAttributeFlags(target.c_str(), cp) != 0) {
      FilePath path;
      if (path.SetText(target.c_str(), cp) != kOk) return kErrOutOfMemory;
      if (replacement_.Begin(path, nullptr) != kOk) return kErrCipherCreateOutput;
      if (file_.OpenWrite(replacement_.temp(), 0) != kOk) {
        replacement_.Discard();
        return kErrCipherCreateOutput;
      }
      return kOk;
    }
    ByteString folder;
    if (target_.Assign(target) != kOk || FolderOf(target, folder) != kOk) return kErrOutOfMemory;
    if (MakeTempFileName(temp_, kTempPrefix, folder.c_str(), cp) != kOk) {
      temp_.Reset();
      return kErrCipherCreateOutput;
    }
    if (file_.OpenWriteText(temp_.c_str(), 0, cp) != kOk) {
      DeleteFileByName(temp_.c_str(), cp_);
      temp_.Reset();
      return kErrCipherCreateOutput;
    }
    return kOk;
  }

  int Write(const uint8_t* p, int n) {
    if (n <= 0) return kOk;
    if (stream_ != nullptr) {
      int done = 0;
      while (done < n) {
        int put = stream_->Write(p + done, n - done);
        // A stream that takes nothing would be asked for ever.
        if (put <= 0) return kErrCipherWriteOutput;
        done += put < n - done ? put : n - done;
      }
      return kOk;
    }
    if (file_.IsOpen()) return file_.Write(p, static_cast<size_t>(n)) == kOk ? kOk : kErrCipherWriteOutput;
    if (memory_ != nullptr) return memory_->Append(p, n);
    return kOk;
  }

  // Puts a file target in place: 0, kErrCipherOutputExists when a file appeared meanwhile and may
  // not be replaced, or kErrCipherCreateOutput.
  int Commit() {
    memory_ = nullptr;
    if (replacement_.active()) {
      if (file_.Close() != kOk) return kErrCipherWriteOutput;
      return replacement_.Commit(nullptr) == kOk ? kOk : kErrCipherCreateOutput;
    }
    if (temp_.empty()) return kOk;
    if (file_.Close() != kOk) return kErrCipherWriteOutput;
    ByteString from, to;
    if (WideFileName(temp_.c_str(), cp_, from) != kOk || WideFileName(target_.c_str(), cp_, to) != kOk) {
      return kErrCipherCreateOutput;
    }
    if (!win::MoveFileExW(from.wide(), to.wide(), replace_ ? win::MOVEFILE_REPLACE_EXISTING : 0)) {
      return win::GetLastError() == win::ERROR_ALREADY_EXISTS ? kErrCipherOutputExists : kErrCipherCreateOutput;
    }
    temp_.Reset();
    return kOk;
  }

  void Discard() {
    if (memory_ != nullptr) {
      WipeString(*memory_);
      memory_ = nullptr;
    }
    if (!temp_.empty()) {
      file_.Close();
      DeleteFileByName(temp_.c_str(), cp_);
      temp_.Reset();
    }
    if (replacement_.active()) {
      file_.Close();
      replacement_.Discard();
    }
  }

 private:
  CallerStream* stream_ = nullptr;
  FileHandle file_;
  ByteString* memory_ = nullptr;
  ByteString target_;
  ByteString temp_;
  FileReplacement replacement_;
  unsigned cp_ = 0;
  bool replace_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Hex settings

int DecodeHexSetting(const char* text, ByteString& out) {
  // Decoded straight into the setting's own string, sized once: no copy of the key, IV or
  // password is left in a buffer freed unwiped. Digits pair up, anything between them is
  // skipped and a last digit without a partner is dropped.
  WipeString(out);
  if (text == nullptr) return kOk;
  size_t digits = 0;
  for (const char* p = text; *p != '\0'; ++p) digits += HexDigitValue(static_cast<unsigned char>(*p)) >= 0;
  if (digits / 2 > static_cast<size_t>(INT32_MAX)) return kErrOutOfMemory;
  const int count = static_cast<int>(digits / 2);
  if (count == 0) return kOk;
  if (int rc = out.Resize(count); rc != kOk) return rc;
  uint8_t* to = out.bytes();
  int high = -1, at = 0;
  for (const char* p = text; *p != '\0' && at < count; ++p) {
    const int v = HexDigitValue(static_cast<unsigned char>(*p));
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      to[at++] = static_cast<uint8_t>(high << 4 | v);
      high = -1;
    }
  }
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Life cycle and properties

CipherComponent::CipherComponent() { Reset(); }

CipherComponent::~CipherComponent() {
  WipeString(key_);
  WipeString(iv_);
  WipeString(iv_in_use_);
  WipeString(key_password_);
  WipeString(input_message_);
  WipeString(output_message_);
  WipeString(last_gcm_key_);
  WipeString(last_gcm_iv_);
}

bool CipherComponent::Reset() {
  algorithm_ = eaAES;
  WipeString(iv_);
  WipeString(iv_in_use_);
  WipeString(key_);
  WipeString(input_message_);
  WipeString(output_message_);
  WipeString(key_password_);
  input_file_.Reset();
  output_file_.Reset();
  padding_mode_ = kComponentPaddingPkcs7;
  cipher_mode_ = kComponentModeCbc;
  input_stream_ = nullptr;
  output_stream_ = nullptr;
  held_.Clear();
  state_ = kIdle;
  total_size_ = 0;
  processed_ = 0;
  full_reported_ = false;
  overwrite_ = false;
  use_hex_ = false;
  tea_algorithm_ = 0;
  tea_rounds_ = kTeaDefaultCycles;
  xtea_algorithm_ = 0;
  aad_bytes_.Reset();
  WipeString(tag_bytes_);
  aad_text_.Reset();
  tag_text_.Reset();
  auth_tag_length_ = 128;
  chacha_aead_ = 0;
  salsa20_algorithm_ = 1;
  salsa_rounds_ = 20;
  close_input_stream_ = true;
  close_output_stream_ = true;
  block_size_ = 0;
  key_size_ = 0;
  key_password_algorithm_.SetText("MD5");
  key_password_salt_.Reset();
  include_iv_ = false;
  include_auth_tag_ = false;
  key_password_iterations_ = -1;
  iv_length_ = 12;
  use_fips_ = false;
  initial_counter_ = 0;
  engine_.Wipe();
  if (ApplyAlgorithm() != kOk) return false;
  ApplyDefaultKeySize();
  return true;
}

int CipherComponent::SetAlgorithm(int algorithm) {
  if (algorithm == algorithm_) return kOk;
  algorithm_ = algorithm;
  int rc = ApplyAlgorithm();
  if (rc == kOk) ApplyDefaultKeySize();
  return rc;
}

int CipherComponent::SetTeaAlgorithm(int which) {
  tea_algorithm_ = which;
  return ApplyAlgorithm();
}

int CipherComponent::ApplyAlgorithm() {
  engine_.SetUsePlatformCipher(use_fips_);
  int id = -1;
  if (ValidAlgorithm(algorithm_)) {
    id = kAlgorithms[algorithm_].engine_id;
    if (algorithm_ == eaTEA) id = tea_algorithm_ >= 0 && tea_algorithm_ <= 2 ? kTeaEngineIds[tea_algorithm_] : -1;
  }
  if (id < 0 || engine_.SetAlgorithm(id) != kOk) return Fail(kErrCipherSetting, kTextUnsupportedAlgorithm);
  return kOk;
}

void CipherComponent::ApplyDefaultKeySize() {
  if (ValidAlgorithm(algorithm_) && kAlgorithms[algorithm_].default_key_bits != 0) {
    engine_.SetKeyBits(kAlgorithms[algorithm_].default_key_bits);
  }
}

int CipherComponent::ApplyAlgorithmOptions(int direction) {
  if (algorithm_ == eaTEA) {
    if (engine_.SetTeaRounds(tea_rounds_) != kOk) return Fail(kErrInvalidValue, kTextInvalidTeaRounds);
    engine_.SetXteaVariant(xtea_algorithm_);
  }
  if (algorithm_ == eaXSalsa20) {
    engine_.SetSalsaVariant(salsa20_algorithm_ == 0 ? kSalsa20Variant : kXSalsa20Variant);
    if (engine_.SetSalsaRounds(salsa_rounds_) != kOk) return Fail(kErrCipherSalsaRounds, kTextSalsaRounds);
  }
  return kOk;
}

int CipherComponent::SetKey(const void* bytes, int length) {
  WipeString(key_);
  return key_.Set(bytes, length);
}

int CipherComponent::SetIv(const void* bytes, int length) {
  WipeString(iv_);
  return iv_.Set(bytes, length);
}

int CipherComponent::SetKeyPassword(const char* password) {
  WipeString(key_password_);
  return key_password_.SetText(password != nullptr ? password : "");
}

int CipherComponent::SetInputMessage(const void* bytes, int length) {
  WipeString(input_message_);
  return input_message_.Set(bytes, length);
}

int CipherComponent::SetInputFile(const char* name) { return input_file_.SetText(name != nullptr ? name : ""); }

int CipherComponent::SetOutputFile(const char* name) { return output_file_.SetText(name != nullptr ? name : ""); }

void CipherComponent::GetOutputBytes(const uint8_t** bytes, int* length) const {
  if (bytes != nullptr) *bytes = output_message_.bytes();
  if (length != nullptr) *length = output_message_.length();
}

int CipherComponent::Fail(int code, const char* text) {
  SetErrorTextCode(code, text);
  return code;
}

// ---------------------------------------------------------------------------------------------
// Settings

int CipherComponent::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  auto flag = [&](bool& field) -> int {
    if (read) return SetConfigAnswer(field ? "1" : "0", answer);
    field = request.ValueAsBool();
    return kOk;
  };
  auto flag32 = [&](int32_t& field) -> int {
    if (read) return SetConfigAnswer(field ? "1" : "0", answer);
    field = request.ValueAsBool() ? 1 : 0;
    return kOk;
  };
  auto number = [&](int32_t& field) -> int {
    if (read) return SetConfigAnswerSigned(field, answer);
    field = request.ValueAsInt();
    return kOk;
  };
  auto text = [&](ByteString& field) -> int {
    if (read) return SetConfigAnswer(field.c_str(), answer);
    return field.Assign(request.value());
  };

  if (request.NameIs("CloseInputStreamAfterProcessing")) return flag(close_input_stream_);
  if (request.NameIs("CloseOutputStreamAfterProcessing")) return flag(close_output_stream_);
  if (request.NameIs("BlockSize") && algorithm_ != eaRC4) {
    if (read) return SetConfigAnswerSigned(block_size_ != 0 ? block_size_ : DefaultBlockBits(), answer);
    block_size_ = request.ValueAsInt();
    return kOk;
  }
  if (request.NameIs("KeySize")) {
    if (read) return SetConfigAnswerSigned(key_size_ != 0 ? key_size_ : engine_.KeyBits(), answer);
    key_size_ = request.ValueAsInt();
    return kOk;
  }
  if (request.NameIs("UseFIPSCompliantAPI")) {
    if (read) return SetConfigAnswer(use_fips_ ? "1" : "0", answer);
    const bool on = request.ValueAsBool();
    if (on != use_fips_) {
      use_fips_ = on;
      ApplyAlgorithm();
      ApplyDefaultKeySize();
    }
    return kOk;
  }
  if (request.NameIs("IncludeIV")) return flag(include_iv_);
  if (request.NameIs("includeAuthTag")) return flag(include_auth_tag_);
  if (request.NameIs("TeaRounds")) return number(tea_rounds_);
  if (request.NameIs("XTEAAlgorithm")) return number(xtea_algorithm_);
  if (request.NameIs("KeyPasswordAlgorithm")) return text(key_password_algorithm_);
  if (request.NameIs("CipherMode")) return number(cipher_mode_);
  if (request.NameIs("KeyPasswordSalt")) return text(key_password_salt_);
  if (request.NameIs("KeyPasswordIterations") || request.NameIs("DigestPasswordIterations")) {
    return number(key_password_iterations_);
  }
  if (request.NameIs("AdditionalAuthData")) {
    if (!read) return aad_text_.Assign(request.value());
    if (!aad_text_.empty()) return SetConfigAnswer(aad_text_.c_str(), answer);
    ByteString hex;
    if (int rc = AppendHexUpper(hex, aad_bytes_.bytes(), aad_bytes_.length()); rc != kOk) return rc;
    return SetConfigAnswer(hex.c_str(), answer);
  }
  if (request.NameIs("AuthTag")) {
    if (read) {
      // Always from the current tag bytes: a text kept from an earlier message would describe
      // the wrong one.
      ByteString hex;
      if (int rc = AppendHexUpper(hex, tag_bytes_.bytes(), tag_bytes_.length()); rc != kOk) return rc;
      return SetConfigAnswer(hex.c_str(), answer);
    }
    if (int rc = tag_text_.Assign(request.value()); rc != kOk) return rc;
    WipeString(tag_bytes_);
    if (tag_text_.length() % 2 != 0) return kOk;
    return DecodeHexSetting(tag_text_.c_str(), tag_bytes_);
  }
  if (request.NameIs("AuthTagLength")) return number(auth_tag_length_);
  if (request.NameIs("InitialCounter")) {
    if (read) return SetConfigAnswerInt64(static_cast<int64_t>(initial_counter_), answer);
    initial_counter_ = static_cast<uint64_t>(request.ValueAsInt64());
    engine_.SetInitialCounter(initial_counter_);
    return kOk;
  }
  if (request.NameIs("IVLength")) return number(iv_length_);
  if (request.NameIs("chachaAEAD")) return flag32(chacha_aead_);
  if (request.NameIs("Salsa20Algorithm")) return number(salsa20_algorithm_);
  if (request.NameIs("SalsaRounds")) return number(salsa_rounds_);
  return ComponentBase::Config(request, answer);
}

// ---------------------------------------------------------------------------------------------
// What the settings mean for one message

CipherComponent::AeadKind CipherComponent::CurrentAeadKind() const {
  if (cipher_mode_ == kComponentModeGcm && algorithm_ == eaAES) return kAeadGcm;
  if (algorithm_ == eaChaCha && chacha_aead_ != 0) return kAeadChaCha;
  return kAeadNone;
}

bool CipherComponent::IsStreamAlgorithm() const { return ValidAlgorithm(algorithm_) && kAlgorithms[algorithm_].stream; }

int CipherComponent::DefaultBlockBits() const {
  if (!ValidAlgorithm(algorithm_)) return engine_.BlockBits();
  return kAlgorithms[algorithm_].block_bits;
}

int CipherComponent::IvBytesNeeded() const {
  if (CurrentAeadKind() == kAeadGcm) return kGcmNonceBytes;
  if (algorithm_ == eaChaCha) return iv_length_ > 0 ? iv_length_ : 0;
  if (algorithm_ == eaXSalsa20) return salsa20_algorithm_ == 0 ? 8 : 24;
  const int bits = block_size_ > 0 && algorithm_ != eaRC4 ? block_size_ : DefaultBlockBits();
  return bits / 8;
}

int CipherComponent::AeadTagBytes() const {
  if (CurrentAeadKind() == kAeadChaCha) return kAeadTagBytes;
  return (auth_tag_length_ > 0 ? auth_tag_length_ : kDefaultGcmTagBits) / 8;
}

int CipherComponent::CheckFips() {
  if (!use_fips_) return kOk;
  if (CurrentAeadKind() == kAeadGcm) return Fail(kErrCipherNotFips, kTextFipsGcm);
  if (algorithm_ != eaAES) return Fail(kErrCipherNotFips, kTextFipsAlgorithm);
  if (cipher_mode_ == kComponentModeCts || cipher_mode_ == kComponentModeOfb) {
    return Fail(kErrCipherNotFips, kTextFipsMode);
  }
  if (!key_password_.empty()) {
    bool allowed = false;
    for (const char* name : kFipsDigests) allowed = allowed || key_password_algorithm_.EqualsNoCase(name);
    if (!allowed) {
      SetErrorText4(kTextFipsDigest1, key_password_algorithm_.c_str(), kTextFipsDigest2, "");
      set_error_code(kErrCipherNotFips);
      return kErrCipherNotFips;
    }
  }
  return kOk;
}

// Selects the engine's cipher afresh and applies every setting to it, so that nothing of an
// earlier message (AES-GCM's own cipher id, a block length set then) carries over.
int CipherComponent::ConfigureEngine() {
  int rc = ApplyAlgorithm();
  if (rc != kOk) return rc;
  ApplyDefaultKeySize();
  engine_.SetInitialCounter(initial_counter_);
  const AeadKind aead = CurrentAeadKind();
  if (aead == kAeadGcm && (rc = engine_.SetAlgorithm(kCipherAesGcm)) != kOk) return rc;

  if (cipher_mode_ < 0 || cipher_mode_ >= kModeCount) return Fail(kErrCipherSetting, kTextInvalidCipherMode);
  // GCM exists for AES only; any other block cipher would quietly run unauthenticated CBC.
  if (cipher_mode_ == kComponentModeGcm && aead != kAeadGcm && !IsStreamAlgorithm()) {
    return Fail(kErrCipherSetting, kTextInvalidCipherMode);
  }
  if (padding_mode_ < 0 || padding_mode_ >= kPaddingCount) return Fail(kErrCipherSetting, kTextInvalidPaddingMode);
  const ModeInfo& mode = kModes[cipher_mode_];
  if (!engine_.IsStream()) {
    engine_.SetMode(mode.engine_mode);
    engine_.SetPadding(kPaddings[padding_mode_]);
  }

  if (key_size_ != 0 && key_size_ != engine_.KeyBits()) {
    if (aead == kAeadChaCha) {
      if (key_size_ != 256) return Fail(kErrCipherKeySize, kTextKeySize);
    } else if (engine_.SetKeyBits(key_size_) != kOk) {
      return Fail(kErrCipherKeySize, kTextKeySize);
    }
  }
  if (block_size_ != 0 && algorithm_ != eaRC4 && block_size_ != engine_.BlockBits()) {
    if (aead != kAeadNone) {
      if (block_size_ != kAeadBlockBytes * 8) return Fail(kErrCipherBlockSize, kTextBlockSize);
    } else if (engine_.SetBlockBits(block_size_) != kOk) {
      return Fail(kErrCipherBlockSize, kTextBlockSize);
    }
  }
  if (!engine_.IsStream()) engine_.SetFeedbackBits(mode.feedback8 ? 8 : engine_.BlockBits());

  // A one-byte pad count cannot describe a pad of 256 bytes or more: refuse before any data.
  const bool counted = padding_mode_ == kComponentPaddingPkcs7 || padding_mode_ == kComponentPaddingAnsiX923 ||
                       padding_mode_ == kComponentPaddingIso10126;
  const bool pads =
      cipher_mode_ != kComponentModeOfb && cipher_mode_ != kComponentModeOfb8 && cipher_mode_ != kComponentModeCts;
  if (engine_.CipherId() == kCipherXxtea && engine_.BlockBits() >= kCountedPadBlockLimitBits && counted && pads) {
    return Fail(kErrCipherPaddingForBlock, kTextInvalidPaddingMode);
  }
  return kOk;
}

int CipherComponent::DerivePasswordKey() {
  ByteString lower;
  if (lower.Assign(key_password_algorithm_) != kOk) return kErrOutOfMemory;
  lower.ToLower();
  bool known = false;
  if (lower.StartsWith("hmac")) {
    for (const char* digest : kHmacDigests) known = known || lower.Contains(digest);
  } else {
    for (const char* digest : kPlainDigests) known = known || lower.EqualsNoCase(digest);
  }
  if (!known) return Fail(kErrCipherSetting, kTextInvalidDigest);

  ByteString name;
  for (int i = 0; i < key_password_algorithm_.length(); ++i) {
    const char c = key_password_algorithm_.data()[i];
    if (c != '-' && c != '_' && name.AppendByte(static_cast<uint8_t>(c)) != kOk) return kErrOutOfMemory;
  }
  name.ToUpper();
  int iterations = key_password_iterations_;
  if (iterations == -1) iterations = name.Contains("HMAC") ? kHmacIterations : kDigestIterations;

  // Stored data depends on it: without a usable salt text the derivation runs without salt.
  ByteString salt;
  if (key_password_salt_.length() >= 2 && IsAsciiAlnum(key_password_salt_.ByteAt(0)) &&
      IsAsciiAlnum(key_password_salt_.ByteAt(1))) {
    if (int rc = DecodeHexSetting(key_password_salt_.c_str(), salt); rc != kOk) return rc;
  }
  // The platform's PBKDF2 is never bound here.
  if (use_fips_) return Fail(kErrCipherSecurityLibrary, kTextSecurityLibrary);

  const int key_bytes = CurrentAeadKind() == kAeadChaCha ? 32 : engine_.KeyBits() / 8;
  const int iv_bytes = IvBytesNeeded();
  PasswordKdf kdf;
  if (kdf.digest_name().Assign(name) != kOk || kdf.password().Assign(key_password_) != kOk ||
      kdf.salt().Assign(salt) != kOk) {
    return kErrOutOfMemory;
  }
  int rc = kdf.DeriveKeyAndIv(iterations, nullptr, key_bytes, nullptr, iv_bytes, 0);
  if (rc == kErrKdfDigestName) return Fail(kErrCipherSetting, kTextInvalidDigest);
  if (rc == kErrInvalidValue) return Fail(kErrInvalidValue, kTextInvalidIterations);
  if (rc != kOk) return rc;
  if (SetKey(kdf.key().bytes(), kdf.key().length()) != kOk) return kErrOutOfMemory;
  if (iv_bytes > 0 && SetIv(kdf.iv().bytes(), kdf.iv().length()) != kOk) return kErrOutOfMemory;
  return kOk;
}

int CipherComponent::Prepare(int direction) {
  const bool encrypting = direction != kCipherDecrypt;
  int rc = CheckFips();
  if (rc == kOk) rc = ConfigureEngine();
  if (rc == kOk) rc = ApplyAlgorithmOptions(direction);
  if (rc != kOk) return rc;
  const AeadKind aead = CurrentAeadKind();
  if (!key_password_.empty() && (rc = DerivePasswordKey()) != kOk) return rc;

  if (encrypting && aead == kAeadGcm && !iv_.empty() && iv_.Equals(last_gcm_iv_) && !last_gcm_key_.empty() &&
      key_.Equals(last_gcm_key_)) {
    return Fail(kErrCipherGcmIvReuse, kTextGcmReuse);
  }

  if (key_.empty()) return Fail(kErrCipherNoKey, kTextNoKey);
  if (aead == kAeadChaCha) {
    if (key_.length() != 32) return Fail(kErrCipherKeySize, kTextKeyLength);
  } else if (engine_.SetKey(key_.bytes(), key_.length()) != kOk) {
    return Fail(kErrCipherKeySize, kTextKeyLength);
  }

  WipeString(iv_in_use_);
  if (iv_in_use_.Assign(iv_) != kOk) return kErrOutOfMemory;
  if (iv_in_use_.empty()) {
    // RC4 and the ECB mode of a block cipher use no IV; an encryption that writes the IV into
    // its output still makes one, so that the output always has the layout its decryption reads.
    const bool needs_iv =
        algorithm_ != eaRC4 && (IsStreamAlgorithm() || aead != kAeadNone || cipher_mode_ != kComponentModeEcb);
    if (!encrypting && needs_iv) return Fail(kErrCipherNoIv, kTextNoIv);
    if (encrypting && (needs_iv || include_iv_) && (rc = FillRandom(IvBytesNeeded(), iv_in_use_)) != kOk) {
      return rc == kErrRandomUnavailable ? Fail(rc, kTextSecurityLibrary) : rc;
    }
  }
  if (!iv_in_use_.empty()) {
    if (aead == kAeadChaCha) {
      if (iv_in_use_.length() != 8 && iv_in_use_.length() != 12) return Fail(kErrCipherIvSize, kTextIvLength);
    } else if (engine_.SetIv(iv_in_use_.bytes(), iv_in_use_.length()) != kOk) {
      return Fail(kErrCipherIvSize, kTextIvLength);
    }
  }
  return StartMessage(direction);
}

int CipherComponent::StartMessage(int direction) {
  const bool encrypting = direction != kCipherDecrypt;
  const AeadKind aead = CurrentAeadKind();
  // The tag bytes describe one message: an encryption makes new ones, and a decryption that finds
  // its tag in the input takes that one. Only an expected tag given for this decryption stays.
  if (encrypting || aead == kAeadNone || include_auth_tag_) WipeString(tag_bytes_);
  if (aead == kAeadNone) return encrypting ? engine_.StartEncrypt() : engine_.StartDecrypt();

  if (!aad_text_.empty()) {
    bool hex = aad_text_.length() % 2 == 0;
    for (int i = 0; hex && i < aad_text_.length(); ++i) hex = HexDigitValue(aad_text_.ByteAt(i)) >= 0;
    if (!hex) return Fail(kErrCipherAadNotHex, kTextAadNotHex);
    if (int rc = DecodeHexSetting(aad_text_.c_str(), aad_bytes_); rc != kOk) return rc;
  }
  if (!encrypting && tag_bytes_.empty() && !include_auth_tag_ && auth_tag_length_ > 0) {
    return Fail(kErrCipherTagMissing, kTextTagMissing);
  }

  int rc;
  if (aead == kAeadGcm) {
    if (auth_tag_length_ >= 0 && (rc = engine_.SetTagBits(auth_tag_length_)) != kOk) return rc;
    if ((rc = engine_.SetAad(aad_bytes_.bytes(), aad_bytes_.length())) != kOk) return rc;
    if (encrypting) {
      if ((rc = engine_.StartEncrypt()) != kOk) return rc;
      if (last_gcm_key_.Assign(key_) != kOk || last_gcm_iv_.Assign(iv_in_use_) != kOk) return kErrOutOfMemory;
      return kOk;
    }
    if (!tag_bytes_.empty() && (rc = engine_.SetTag(tag_bytes_.bytes(), tag_bytes_.length())) != kOk) return rc;
    return engine_.StartDecrypt();
  }

  aead_.SetInitialCounter(initial_counter_);
  rc = aead_.Configure(key_.bytes(), key_.length(), iv_in_use_.bytes(), iv_in_use_.length(),
                       AeadCipher::kChaCha20Poly1305, encrypting ? 1 : 0);
  if (rc == kErrCipherDataLength) return Fail(kErrCipherIvSize, kTextIvLength);
  if (rc == kOk) rc = aead_.SetAad(aad_bytes_.bytes(), aad_bytes_.length());
  if (rc == kOk && auth_tag_length_ >= 0) rc = aead_.SetTagBits(auth_tag_length_);
  if (rc == kOk && !encrypting && !tag_bytes_.empty()) rc = aead_.SetTag(tag_bytes_.bytes(), tag_bytes_.length());
  return rc;
}

// ---------------------------------------------------------------------------------------------
// One run step

int CipherComponent::RunFail(int code, int direction) {
  state_ = kIdle;
  held_.Clear();
  if (!error_text().empty()) return code;
  if (use_fips_ && code == kErrPlatformPadding) code = kErrCipherPadding;
  switch (code) {
    case kErrCipherDataLength:
      return Fail(code, direction != kCipherDecrypt ? kTextLengthEncrypt : kTextLengthDecrypt);
    case kErrCipherPadding:
      return Fail(code, kTextBadPadding);
    case kErrCipherCtsTooShort:
      return Fail(code, kTextCtsTooShort);
    case kErrCipherAuthentication:
      return Fail(kErrCipherInvalidCiphertext, kTextInvalidCiphertext);
    case kErrCipherTagBits:
      return Fail(code, kTextTagLength);
    case kErrCipherTooManyBlocks:
      return Fail(code, kTextTooManyBlocks);
    case kErrPlatformCipherMissing:
      return Fail(code, kTextSecurityLibrary);
    case kErrCipherNoTag:
      return Fail(kErrCipherTagMissing, kTextTagMissing);
    case kErrCipherKeyBits:
    case kErrCipherKeyLength:
      return Fail(kErrCipherKeySize, kTextKeyLength);
    case kErrCipherNonceLength:
      return Fail(kErrCipherIvSize, kTextIvLength);
    case kErrCipherBlockBits:
      return Fail(kErrCipherBlockSize, kTextBlockSize);
    case kErrCipherRounds:
      return Fail(kErrCipherSalsaRounds, kTextSalsaRounds);
    case kErrCipherUnknown:
      return Fail(kErrCipherSetting, kTextUnsupportedAlgorithm);
    case kErrOutOfMemory:
      return Fail(code, kTextOutOfMemory);
    default:
      SetErrorTextNum(kTextCipherError, code, ".");
      set_error_code(code);
      return code;
  }
}

int CipherComponent::Run(int direction, const uint8_t* data, int length, bool last, ByteString& out) {
  const bool encrypting = direction != kCipherDecrypt;
  SetErrorTextCode(0, "");
  if ((state_ == kEncrypting && !encrypting) || (state_ == kDecrypting && encrypting) ||
      (state_ == kCollectingIv && encrypting)) {
    state_ = kIdle;
  }
  if (length < 0 || (length > 0 && data == nullptr)) return RunFail(kErrInvalidValue, direction);
  int rc;
  if (state_ == kIdle || state_ == kCollectingIv) {
    if (include_iv_ && !encrypting) {
      if (state_ == kIdle) {
        WipeString(iv_);
        state_ = kCollectingIv;
      }
      const int need = IvBytesNeeded();
      int take = need - iv_.length();
      if (take > length) take = length;
      if (take > 0) {
        if (iv_.Append(data, take) != kOk) return RunFail(kErrOutOfMemory, direction);
        data += take;
        length -= take;
      }
      if (iv_.length() < need) {
        if (!last) return kOk;
        return RunFail(Fail(kErrCipherInvalidCiphertext, kTextInvalidCiphertext), direction);
      }
    }
    if ((rc = Prepare(direction)) != kOk) return RunFail(rc, direction);
    held_.Clear();
    if (encrypting && include_iv_ && out.AppendString(iv_in_use_) != kOk) return RunFail(kErrOutOfMemory, direction);
    state_ = encrypting ? kEncrypting : kDecrypting;
  }

  if (length > 0 && held_.Append(data, static_cast<size_t>(length)) != kOk) return RunFail(kErrOutOfMemory, direction);
  const AeadKind aead = CurrentAeadKind();
  const bool strip_tag = !encrypting && aead != kAeadNone && include_auth_tag_;
  const size_t tag_bytes = strip_tag ? static_cast<size_t>(AeadTagBytes()) : 0;

  // Process all but what must stay for the end: the tag, and for block ciphers at least one
  // block (padding and ciphertext stealing work on the last one or two). A piece shorter than a
  // block processes nothing.
  size_t amount = held_.size() > tag_bytes ? held_.size() - tag_bytes : 0;
  if (!IsStreamAlgorithm() || strip_tag) {
    const size_t block = aead != kAeadNone ? kAeadBlockBytes : static_cast<size_t>(engine_.BlockBits() / 8);
    const size_t blocks = block > 0 ? amount / block : 0;
    amount = blocks > 0 ? (blocks - 1) * block : 0;
  }
  if (amount > 0) {
    int n = static_cast<int>(amount);
    rc = aead == kAeadChaCha ? aead_.Process(held_.data(), 0, n, out, false) : engine_.Update(held_.data(), 0, &n, out);
    if (rc != kOk) return RunFail(rc, direction);
    held_.EraseFront(static_cast<size_t>(n));
  }
  if (!last) return kOk;

  ByteString found_tag;
  if (strip_tag) {
    if (held_.size() < tag_bytes) return RunFail(Fail(kErrCipherInvalidCiphertext, kTextNoAuthTag), direction);
    const uint8_t* tag = held_.data() + held_.size() - tag_bytes;
    if (found_tag.Set(tag, static_cast<int>(tag_bytes)) != kOk) return RunFail(kErrOutOfMemory, direction);
    rc = aead == kAeadChaCha ? aead_.SetTag(tag, static_cast<int>(tag_bytes))
                             : engine_.SetTag(tag, static_cast<int>(tag_bytes));
    if (rc != kOk) return RunFail(rc, direction);
    held_.Resize(held_.size() - tag_bytes);
  }
  const int rest = static_cast<int>(held_.size());
  rc =
      aead == kAeadChaCha ? aead_.Process(held_.data(), 0, rest, out, true) : engine_.Final(held_.data(), 0, rest, out);
  held_.Clear();
  state_ = kIdle;
  if (rc != kOk) return RunFail(rc, direction);
  if (aead != kAeadNone) {
    if (encrypting) {
      const ByteString& tag = aead == kAeadChaCha ? aead_.GetTag() : engine_.GetTag();
      if (tag_bytes_.Assign(tag) != kOk) return RunFail(kErrOutOfMemory, direction);
      if (include_auth_tag_ && out.AppendString(tag) != kOk) return RunFail(kErrOutOfMemory, direction);
    } else if (strip_tag && tag_bytes_.Assign(found_tag) != kOk) {
      return RunFail(kErrOutOfMemory, direction);
    }
  }
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// The whole message

void CipherComponent::OnProgress(int64_t n) {
  if (n <= 0) return;
  processed_ += n;
  int percent = -1;
  if (total_size_ > 0) {
    percent = processed_ >= total_size_ ? 100 : static_cast<int>(processed_ * 100 / total_size_);
    // One report of completion, even when the input runs past the size it announced.
    if (percent == 100) {
      if (full_reported_) return;
      full_reported_ = true;
    }
  }
  FireProgress(processed_, percent);
}

int CipherComponent::Process(int direction) {
  direction = direction != kCipherDecrypt ? kCipherEncrypt : kCipherDecrypt;
  const bool encrypting = direction == kCipherEncrypt;
  const unsigned cp = static_cast<unsigned>(GetCodePage());
  SetErrorTextCode(0, "");
  state_ = kIdle;
  held_.Clear();
  processed_ = 0;
  total_size_ = 0;
  full_reported_ = false;

  MessageSource source;
  MessageSink sink;
  SecretBuffer piece;  // a piece of input, and its decoded bytes when it is hexadecimal
  SecretBuffer hex_out;
  StepOutput step;

  auto finish = [&](int rc) -> int {
    if (rc != kOk) {
      sink.Discard();
      state_ = kIdle;
      held_.Clear();
    }
    if (input_stream_ != nullptr && close_input_stream_) input_stream_->Close();
    if (output_stream_ != nullptr && close_output_stream_) output_stream_->Close();
    engine_.Wipe();
    if (rc != kOk) FireError(error_code(), error_text().c_str());
    return rc;
  };

  // Output and input.
  const bool to_file = output_stream_ == nullptr && !output_file_.empty();
  if (to_file && !overwrite_ && GetFileAttributeFlags(output_file_.c_str(), cp) != 0) {
    return finish(Fail(kErrCipherOutputExists, kTextOutputExists));
  }
  if (input_stream_ != nullptr) {
    source.UseStream(input_stream_);
  } else if (!input_file_.empty()) {
    if (source.UseFile(input_file_.c_str(), cp) != kOk) {
      SetErrorText4(kTextOpenInput, input_file_.c_str(), "\".", "");
      set_error_code(kErrCipherOpenInput);
      return finish(kErrCipherOpenInput);
    }
  } else {
    source.UseMemory(input_message_);
  }
  total_size_ = source.total();
  if (output_stream_ != nullptr) {
    sink.UseStream(output_stream_);
  } else if (to_file) {
    if (int rc = sink.UseFile(output_file_, cp, overwrite_); rc != kOk) {
      if (rc == kErrOutOfMemory) return finish(Fail(rc, kTextOutOfMemory));
      SetErrorText4(kTextCreateOutput, output_file_.c_str(), "\".", "");
      set_error_code(rc);
      return finish(rc);
    }
  } else {
    sink.UseMemory(&output_message_);
  }
  // A short message needs no full-sized piece buffer; one longer than announced is still read.
  int piece_bytes = kPieceBytes;
  if (total_size_ > 0 && total_size_ < kPieceBytes) piece_bytes = static_cast<int>(total_size_);
  if (input_stream_ == nullptr && input_file_.empty()) piece_bytes = total_size_ > 0 ? piece_bytes : 1;
  if (piece.Resize(static_cast<size_t>(piece_bytes)) != kOk) return finish(Fail(kErrOutOfMemory, kTextOutOfMemory));

  // Writes a step's output, as upper-case hexadecimal for an encryption with UseHex.
  auto emit = [&]() -> int {
    const int n = step.size();
    if (n == 0) return kOk;
    if (!(use_hex_ && encrypting)) return sink.Write(step.data(), n);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (hex_out.Resize(static_cast<size_t>(n) * 2) != kOk) return kErrOutOfMemory;
    for (int i = 0; i < n; ++i) {
      hex_out.data()[2 * i] = static_cast<uint8_t>(kDigits[step.data()[i] >> 4]);
      hex_out.data()[2 * i + 1] = static_cast<uint8_t>(kDigits[step.data()[i] & 15]);
    }
    return sink.Write(hex_out.data(), 2 * n);
  };
  auto write_failed = [&](int rc) -> int {
    return rc == kErrOutOfMemory ? Fail(rc, kTextOutOfMemory) : Fail(kErrCipherWriteOutput, kTextWriteOutput);
  };

  int hex_high = -1;
  for (;;) {
    const int n = source.Read(piece.data(), piece_bytes);
    if (n < 0) return finish(Fail(kErrCipherReadInput, kTextReadInput));
    if (n == 0) {
      if (!encrypting && state_ != kDecrypting && algorithm_ != eaRC4) {
        return finish(Fail(kErrCipherEmptyInput, kTextEmptyInput));
      }
      break;
    }
    if (step.Begin() != kOk) return finish(Fail(kErrOutOfMemory, kTextOutOfMemory));
    int rc;
    if (use_hex_ && !encrypting) {
      // Decoded in place: the bytes never outrun the digits they come from.
      const size_t m = DecodeHexPiece(piece.data(), static_cast<size_t>(n), &hex_high, piece.data());
      rc = Run(direction, piece.data(), static_cast<int>(m), false, step.text());
    } else {
      rc = Run(direction, piece.data(), n, false, step.text());
    }
    if (rc != kOk) return finish(rc);
    if ((rc = emit()) != kOk) return finish(write_failed(rc));
    OnProgress(n);
  }
  if (step.Begin() != kOk) return finish(Fail(kErrOutOfMemory, kTextOutOfMemory));
  int rc = Run(direction, nullptr, 0, true, step.text());
  if (rc != kOk) return finish(rc);
  if ((rc = emit()) != kOk) return finish(write_failed(rc));

  source.Close();
  rc = sink.Commit();
  if (rc == kErrCipherOutputExists) return finish(Fail(rc, kTextOutputExists));
  if (rc != kOk) {
    SetErrorText4(rc == kErrCipherWriteOutput ? kTextWriteOutput : kTextReplaceOutput,
                  rc == kErrCipherWriteOutput ? "" : output_file_.c_str(), rc == kErrCipherWriteOutput ? "" : "\".",
                  "");
    set_error_code(rc);
    return finish(rc);
  }
  return finish(kOk);
}

// ---------------------------------------------------------------------------------------------
// The variant with events

int CipherComponentWithEvents::Config(ConfigRequest& request, const char** answer) {
  if (request.NameIs("TeaAlgorithm")) {
    if (request.is_read()) return SetConfigAnswerSigned(tea_algorithm(), answer);
    SetTeaAlgorithm(request.ValueAsInt());
    return kOk;
  }
  return CipherComponent::Config(request, answer);
}

void CipherComponentWithEvents::FireProgress(int64_t processed, int percent) {
  FireEvent(kEventProgress, processed, percent);
}

void CipherComponentWithEvents::FireError(int code, const char* text) { FireEvent(kEventError, code, text); }

}  // namespace tw
