#include "crypto/symmetric/cipher_engine.h"

#include <climits>
#include <cstring>

#include "crypto/symmetric/aead_common.h"
#include "foundation/text_conversion.h"  // kErrInvalidValue
#include "platform/heap.h"

namespace tw {

namespace {

// Length rules in bits: min..max in steps of step (0: no step rule).
struct LengthRule {
  int32_t min;
  int32_t max;
  int32_t step;
};

enum BlockRuleKind : int8_t { kBlockRule = 0, kBlockAny = 1, kBlockOnlyZero = 2 };

struct CipherInfo {
  const char* names[2];
  LengthRule key;
  int32_t default_key_bits;
  BlockRuleKind block_kind;
  LengthRule block;
  int32_t default_block_bits;  // also the feedback bits
  int8_t stream;
  int8_t default_mode;     // 0: left as it is
  int8_t default_padding;  // 0: left as it is
};

constexpr int kAnyMode = 0;
constexpr int kAnyPadding = 0;

// clang-format off
constexpr CipherInfo kCiphers[kCipherCount] = {
    // names; key rule and default key bits; block rule and default block bits; stream; mode; padding
    {{"aes", nullptr},                {128, 256, 64}, 256, kBlockRule,     {128, 128, 0},      128, 0, kCipherModeCbc, kPaddingNone},
    {{"des", nullptr},                {64, 64, 0},    64,  kBlockRule,     {64, 64, 0},        64,  0, kCipherModeCbc, kPaddingNone},
    {{"3des", "tripledes"},           {128, 192, 64}, 128, kBlockRule,     {64, 64, 0},        64,  0, kCipherModeCbc, kPaddingNone},
    {{"cast5", "cast128"},            {40, 128, 8},   128, kBlockRule,     {64, 64, 0},        64,  0, kCipherModeCbc, kPaddingNone},
    {{"blowfish", nullptr},           {1, 448, 1},    128, kBlockRule,     {64, 64, 0},        64,  0, kCipherModeCbc, kPaddingNone},
    {{"twofish", nullptr},            {128, 256, 8},  256, kBlockRule,     {128, 128, 0},      128, 0, kCipherModeCbc, kPaddingNone},
    {{"idea", nullptr},               {128, 128, 0},  128, kBlockRule,     {64, 64, 0},        64,  0, kCipherModeCbc, kPaddingNone},
    {{"rc4", "arcfour"},              {8, 2048, 8},   128, kBlockAny,      {0, 0, 0},          64,  1, kAnyMode,       kAnyPadding},
    {{"rc2", nullptr},                {8, 128, 8},    64,  kBlockRule,     {64, 64, 0},        64,  0, kCipherModeCbc, kPaddingNone},
    {{"tea", nullptr},                {128, 128, 0},  128, kBlockRule,     {64, 64, 0},        64,  0, kCipherModeCbc, kPaddingNone},
    {{"xtea", "blocktea"},            {128, 128, 0},  128, kBlockRule,     {64, 64, 0},        64,  0, kCipherModeCbc, kPaddingNone},
    {{"xxtea", "correctedblocktea"},  {128, 128, 0},  128, kBlockRule,     {64, INT32_MAX, 32}, 64, 0, kCipherModeCbc, kPaddingNone},
    {{"aes-gcm", nullptr},            {128, 256, 64}, 256, kBlockOnlyZero, {0, 0, 0},          128, 1, kCipherModeGcm, kPaddingNone},
    {{"rijndael", nullptr},           {128, 256, 64}, 256, kBlockRule,     {128, 256, 64},     128, 0, kCipherModeCbc, kPaddingNone},
    {{"chacha20", nullptr},           {256, 256, 0},  256, kBlockAny,      {0, 0, 0},          512, 1, kAnyMode,       kAnyPadding},
    {{"chacha20-poly1305", nullptr},  {256, 256, 0},  256, kBlockOnlyZero, {0, 0, 0},          128, 1, kAnyMode,       kPaddingNone},
    {{"salsa20", nullptr},            {128, 256, 128}, 256, kBlockAny,     {0, 0, 0},          512, 1, kAnyMode,       kPaddingNone},
};
// clang-format on

// AES-GCM tags: 0 stands for the 96-bit default.
constexpr int kGcmMinTagBits = 96;
constexpr int kGcmMaxTagBits = 128;
constexpr int kDefaultGcmTagBits = 96;
// The pad count of PKCS #7, X9.23 and ISO 10126 is one byte.
constexpr size_t kMaxCountedPad = 255;

bool InRule(const LengthRule& rule, int bits) {
  if (bits < rule.min || bits > rule.max) return false;
  return rule.step == 0 || bits % rule.step == 0;
}

int SetSecretString(ByteString& s, const uint8_t* p, int n) {
  WipeString(s);
  return s.Set(p, n);
}

// The codes of the AEAD step interfaces, as the engine reports them.
int MapAeadCode(int rc) {
  switch (rc) {
    case kAeadMisuse:
      return kErrCipherMode;
    case kAeadTagMismatch:
      return kErrCipherAuthentication;
    case kAeadCounterExhausted:
      return kErrCipherTooManyBlocks;
    default:
      return rc;
  }
}
bool IsBlockMode(int mode) {
  return mode == kCipherModeCbc || mode == kCipherModeEcb || mode == kCipherModeOfb ||
         mode == kCipherModeCfb || mode == kCipherModeCts || mode == kCipherModeCtr;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SecretBuffer

int SecretBuffer::Resize(size_t n) {
  if (n > capacity_) {
    size_t cap = n + n / 2;
    if (cap < 64) cap = 64;
    auto* block = static_cast<uint8_t*>(win::HeapAlloc(cap));
    if (!block) return kErrOutOfMemory;
    if (size_) std::memcpy(block, data_, size_);
    if (data_) {
      WipeBytes(data_, capacity_);
      win::HeapFree(data_);
    }
    data_ = block;
    capacity_ = cap;
  }
  if (n > size_) {
    std::memset(data_ + size_, 0, n - size_);
  } else if (n < size_) {
    WipeBytes(data_ + n, size_ - n);
  }
  size_ = n;
  return kOk;
}

int SecretBuffer::Append(const uint8_t* p, size_t n) {
  if (n == 0) return kOk;
  const size_t old = size_;
  int rc = Resize(old + n);
  if (rc != kOk) return rc;
  std::memcpy(data_ + old, p, n);
  return kOk;
}

int SecretBuffer::Assign(const uint8_t* p, size_t n) {
  Clear();
  return Append(p, n);
}

void SecretBuffer::EraseFront(size_t n) {
  if (n >= size_) {
    Clear();
    return;
  }
  std::memmove(data_, data_ + n, size_ - n);
  WipeBytes(data_ + size_ - n, n);
  size_ -= n;
}

void SecretBuffer::Clear() {
  if (data_) WipeBytes(data_, size_);
  size_ = 0;
}

void SecretBuffer::Release() {
  if (data_) {
    WipeBytes(data_, capacity_);
    win::HeapFree(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Selection and settings

CipherEngine::CipherEngine() {
  std::memset(in_block_, 0, sizeof in_block_);
  std::memset(out_block_, 0, sizeof out_block_);
  SetAlgorithm(kCipherAes);
}

CipherEngine::~CipherEngine() { Wipe(); }

int CipherEngine::SetAlgorithm(int id) {
  if (id < 0 || id >= kCipherCount) return kErrCipherUnknown;
  const CipherInfo& info = kCiphers[id];
  cipher_id_ = id;
  key_bits_ = info.default_key_bits;
  block_bits_ = info.default_block_bits;
  feedback_bits_ = info.default_block_bits;
  is_stream_ = info.stream;
  if (info.default_mode != kAnyMode) mode_ = info.default_mode;
  if (info.default_padding != kAnyPadding) padding_ = info.default_padding;
  if (id == kCipherAesGcm) tag_bits_ = kDefaultGcmTagBits;
  started_ = false;
  return kOk;
}

int CipherEngine::SetAlgorithmByName(const char* name) {
  if (!name) return kErrCipherUnknown;
  ByteString text;
  if (text.SetText(name) != kOk) return kErrOutOfMemory;
  text.Trim();
  text.ToLower();
  for (int id = 0; id < kCipherCount; ++id) {
    for (const char* candidate : kCiphers[id].names) {
      if (candidate && std::strcmp(text.c_str(), candidate) == 0 &&
          static_cast<size_t>(text.length()) == std::strlen(candidate)) {
        return SetAlgorithm(id);
      }
    }
  }
  return kErrCipherUnknown;
}

int CipherEngine::CheckKeyBits(int bits) const {
  return InRule(kCiphers[cipher_id_].key, bits) ? kOk : kErrCipherKeyBits;
}

int CipherEngine::SetKeyBits(int bits) {
  int rc = CheckKeyBits(bits);
  if (rc == kOk) key_bits_ = bits;
  return rc;
}

int CipherEngine::CheckBlockBits(int bits) const {
  const CipherInfo& info = kCiphers[cipher_id_];
  switch (info.block_kind) {
    case kBlockAny:
      return kOk;
    case kBlockOnlyZero:
      return bits == 0 ? kOk : kErrCipherBlockBits;
    default:
      return InRule(info.block, bits) ? kOk : kErrCipherBlockBits;
  }
}

int CipherEngine::SetBlockBits(int bits) {
  int rc = CheckBlockBits(bits);
  if (rc == kOk) {
    if (bits != block_bits_) started_ = false;
    block_bits_ = bits;
    if (feedback_bits_ != 8) feedback_bits_ = bits;
  }
  return rc;
}

int CipherEngine::SetIvBits(int bits) {
  if (cipher_id_ == kCipherAesGcm) return SetTagBits(bits);
  if (cipher_id_ == kCipherChaCha20Poly1305) {
    // Its tag is always 128 bits.
    if (bits != 0 && bits != 128) return kErrCipherTagBits;
    tag_bits_ = bits;
    return kOk;
  }
  return SetBlockBits(bits);
}

void CipherEngine::SetMode(int mode) {
  if (mode != mode_) started_ = false;
  mode_ = mode;
}

void CipherEngine::SetPadding(int padding) {
  if (padding != padding_) started_ = false;
  padding_ = padding;
}

void CipherEngine::SetFeedbackBits(int bits) {
  if (bits != feedback_bits_) started_ = false;
  feedback_bits_ = bits;
}

int CipherEngine::SetKey(const uint8_t* key, int length) {
  if (length < 0 || (!key && length > 0)) return kErrInvalidValue;
  if (length > INT_MAX / 8) return kErrCipherKeyBits;
  int rc = CheckKeyBits(length * 8);
  if (rc != kOk) return rc;
  gcm_keyed_ = false;
  return SetSecretString(key_, key, length);
}

int CipherEngine::SetIv(const uint8_t* iv, int length) {
  if (length < 0 || (!iv && length > 0)) return kErrInvalidValue;
  // An IV means nothing to a block cipher in ECB; a stream cipher's nonce is kept whatever the mode.
  if (!is_stream_ && mode_ == kCipherModeEcb) return kOk;
  const bool unchecked =
      mode_ == kCipherModeGcm || cipher_id_ == kCipherAesGcm || cipher_id_ == kCipherChaCha20Poly1305;
  if (!unchecked) {
    if (length > INT_MAX / 8) return kErrCipherBlockBits;
    int rc = CheckBlockBits(length * 8);
    if (rc != kOk) return rc;
  }
  return SetSecretString(iv_, iv, length);
}

int CipherEngine::SetTagBits(int bits) {
  if (cipher_id_ == kCipherAesGcm && bits != 0 &&
      (bits < kGcmMinTagBits || bits > kGcmMaxTagBits || bits % 8 != 0)) {
    return kErrCipherTagBits;
  }
  tag_bits_ = bits;
  return kOk;
}

int CipherEngine::SetTag(const uint8_t* tag, int length) {
  if (length < 0 || (!tag && length > 0)) return kErrInvalidValue;
  int rc = SetSecretString(tag_, tag, length);
  tag_expected_ = rc == kOk && length > 0;
  return rc;
}

int CipherEngine::SetAad(const uint8_t* aad, int length) {
  if (length < 0 || (!aad && length > 0)) return kErrInvalidValue;
  return aad_.Set(aad, length);
}

int CipherEngine::SetTeaRounds(int cycles) {
  if (cycles < 1) return kErrInvalidValue;
  tea_rounds_ = cycles;
  return kOk;
}

int CipherEngine::SetSalsaRounds(int rounds) {
  if (rounds != 8 && rounds != 12 && rounds != 20) return kErrCipherRounds;
  salsa_rounds_ = rounds;
  return kOk;
}

void CipherEngine::SetHardwareAllowed(bool allowed) {
  aes_.SetHardwareAllowed(allowed);
  gcm_.SetHardwareAllowed(allowed);
  rijndael_.SetHardwareAllowed(allowed);
  chacha_poly_.SetHardwareAllowed(allowed);
  gcm_keyed_ = false;
}

int CipherEngine::TagBytes() const { return (tag_bits_ == 0 ? kDefaultGcmTagBits : tag_bits_) / 8; }

bool CipherEngine::RemovesPadding() const {
  return padding_ == kPaddingPkcs7 || padding_ == kPaddingZeros || padding_ == kPaddingAnsiX923 ||
         padding_ == kPaddingIso10126;
}

bool CipherEngine::HoldsBackPlaintext() const {
  return !encrypting_ && !is_stream_ && RemovesPadding() &&
         (mode_ == kCipherModeEcb || mode_ == kCipherModeCbc || mode_ == kCipherModeCfb ||
          mode_ == kCipherModeCtr);
}

// ---------------------------------------------------------------------------------------------
// Starting a message

int CipherEngine::StartEncrypt() { return Start(1); }
int CipherEngine::StartDecrypt() { return Start(0); }

int CipherEngine::BeginEncrypt(const uint8_t* key, int key_length, const uint8_t* iv, int iv_length) {
  int rc = SetKey(key, key_length);
  if (rc == kOk) rc = SetIv(iv, iv_length);
  return rc != kOk ? rc : StartEncrypt();
}

int CipherEngine::BeginDecrypt(const uint8_t* key, int key_length, const uint8_t* iv, int iv_length) {
  int rc = SetKey(key, key_length);
  if (rc == kOk) rc = SetIv(iv, iv_length);
  return rc != kOk ? rc : StartDecrypt();
}

int CipherEngine::Start(int encrypting) {
  started_ = false;
  if (cipher_id_ < 0 || cipher_id_ >= kCipherCount) return kErrCipherUnknown;
  encrypting_ = encrypting;
  pending_.Clear();
  held_.Clear();
  message_bytes_ = 0;
  // A tag made for an earlier message must neither be handed out again nor shape this one; an
  // expected tag the caller gave for this decryption stays.
  if (encrypting || !tag_expected_) {
    WipeString(tag_);
    tag_expected_ = false;
  }
  WipeString(register_);
  if (register_.Assign(iv_) != kOk) return kErrOutOfMemory;
  if (use_platform_cipher_ && cipher_id_ == kCipherAes) {
    // The platform's symmetric functions are never bound here.
    return kErrPlatformCipherMissing;
  }
  if (key_.length() > INT_MAX / 8) return kErrCipherKeyBits;
  int rc = CheckKeyBits(key_.length() * 8);
  if (rc != kOk) return rc;
  if (!is_stream_) {
    rc = CheckBlockSetup();
    if (rc != kOk) return rc;
  }
  rc = SetUpKey();
  if (rc != kOk) return rc;
  started_ = true;
  return kOk;
}

// Block size, mode, register and padding of a block cipher's message.
int CipherEngine::CheckBlockSetup() {
  if (!IsBlockMode(mode_)) return kErrCipherMode;
  if (block_bits_ < 64 || block_bits_ % 8 != 0) return kErrCipherBlockBits;
  int rc = CheckBlockBits(block_bits_);
  if (rc != kOk) return rc;
  block_bytes_ = static_cast<size_t>(block_bits_ / 8);
  const size_t b = block_bytes_;
  if (mode_ != kCipherModeEcb) {
    // Without an IV the chain starts from zeros; an IV of another length than the block is refused.
    if (register_.empty()) {
      if (b > static_cast<size_t>(INT32_MAX - 1) || register_.Resize(static_cast<int>(b)) != kOk) {
        return kErrOutOfMemory;
      }
    } else if (static_cast<size_t>(register_.length()) != b) {
      return kErrCipherBlockBits;
    }
  }
  // A pad count is one byte: blocks longer than that cannot carry it.
  const bool counted =
      padding_ == kPaddingPkcs7 || padding_ == kPaddingAnsiX923 || padding_ == kPaddingIso10126;
  if (counted && b > kMaxCountedPad && mode_ != kCipherModeOfb && mode_ != kCipherModeCts) {
    return kErrCipherBlockBits;
  }
  if (b > kFixedBlockBytes) {
    if (big_in_.Resize(b) != kOk || big_out_.Resize(b) != kOk) return kErrOutOfMemory;
  }
  stream_pos_ = b;  // no keystream bytes yet
  return kOk;
}

int CipherEngine::SetUpKey() {
  const CipherOps* ops = Ops();
  return ops ? ops->set_up(*this, key_.bytes(), key_.length()) : kErrCipherUnknown;
}

// ---------------------------------------------------------------------------------------------
// Block functions
int CipherEngine::EncryptBlock(const uint8_t* in, uint8_t* out) {
  const CipherOps* ops = Ops();
  // A keystream or AEAD cipher has no block function.
  return ops && ops->encrypt_block ? ops->encrypt_block(*this, in, out) : kErrCipherUnknown;
}

int CipherEngine::DecryptBlock(const uint8_t* in, uint8_t* out) {
  const CipherOps* ops = Ops();
  return ops && ops->decrypt_block ? ops->decrypt_block(*this, in, out) : kErrCipherUnknown;
}

int CipherEngine::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks) {
  if (cipher_id_ == kCipherAes) return aes_.EncryptBlocks(in, out, blocks);
  for (size_t i = 0; i < blocks; ++i) {
    int rc = EncryptBlock(in + i * block_bytes_, out + i * block_bytes_);
    if (rc != kOk) return rc;
  }
  return kOk;
}

int CipherEngine::DecryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks) {
  if (cipher_id_ == kCipherAes) return aes_.DecryptBlocks(in, out, blocks);
  for (size_t i = 0; i < blocks; ++i) {
    int rc = DecryptBlock(in + i * block_bytes_, out + i * block_bytes_);
    if (rc != kOk) return rc;
  }
  return kOk;
}

uint8_t* CipherEngine::ScratchIn() { return block_bytes_ > kFixedBlockBytes ? big_in_.data() : in_block_; }
uint8_t* CipherEngine::ScratchOut() { return block_bytes_ > kFixedBlockBytes ? big_out_.data() : out_block_; }

// ---------------------------------------------------------------------------------------------
// Output

// Grows output by n bytes and returns where they start, or null (out of memory).
uint8_t* CipherEngine::GrowOutput(ByteString& output, size_t n) {
  const size_t old = static_cast<size_t>(output.length());
  if (n > static_cast<size_t>(INT32_MAX - 1) - old) return nullptr;
  if (output.Resize(static_cast<int>(old + n)) != kOk) return nullptr;
  return output.bytes() + old;
}

// Takes output back to old bytes, wiping what it drops.
void CipherEngine::ShrinkOutput(ByteString& output, int old) {
  if (output.length() > old) {
    WipeBytes(output.bytes() + old, static_cast<size_t>(output.length() - old));
    output.Resize(old);
  }
}

// Runs data through the mode into output. A decryption whose padding is still to be removed keeps
// the last block of plaintext in held_ until Final.
int CipherEngine::ProcessBlocks(const uint8_t* in, size_t length, ByteString& output) {
  if (length == 0) return kOk;
  const int old = output.length();
  if (!HoldsBackPlaintext()) {
    uint8_t* out = GrowOutput(output, length);
    if (!out) return kErrOutOfMemory;
    int rc = RunBlockMode(in, out, length);
    if (rc != kOk) ShrinkOutput(output, old);
    return rc;
  }
  const size_t held = held_.size();
  uint8_t* out = GrowOutput(output, held + length);
  if (!out) return kErrOutOfMemory;
  if (held) std::memcpy(out, held_.data(), held);
  int rc = RunBlockMode(in, out + held, length);
  if (rc != kOk) {
    ShrinkOutput(output, old);
    return rc;
  }
  const size_t total = held + length;
  const size_t keep = total < block_bytes_ ? total : block_bytes_;
  rc = held_.Assign(out + total - keep, keep);
  if (rc != kOk) {
    ShrinkOutput(output, old);
    return rc;
  }
  ShrinkOutput(output, old + static_cast<int>(total - keep));
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Update and Final

int CipherEngine::Update(const uint8_t* input, int offset, int* length, ByteString& output) {
  if (!length || *length < 0 || offset < 0 || (!input && *length > 0)) return kErrInvalidValue;
  if (!started_) return kErrCipherMode;
  const uint8_t* in = input ? input + offset : input;
  if (is_stream_) return UpdateStream(in, static_cast<size_t>(*length), output);
  return UpdateBlock(in, length, output);
}

int CipherEngine::Final(const uint8_t* input, int offset, int length, ByteString& output) {
  if (length < 0 || offset < 0 || (!input && length > 0)) return kErrInvalidValue;
  if (!started_) return kErrCipherMode;
  const uint8_t* in = input ? input + offset : input;
  int rc = is_stream_ ? FinalStream(in, static_cast<size_t>(length), output)
                      : FinalBlock(in, static_cast<size_t>(length), output);
  EndMessage();
  return rc;
}

void CipherEngine::EndMessage() {
  started_ = false;
  pending_.Clear();
  held_.Clear();
  if (!encrypting_ && (cipher_id_ == kCipherAesGcm || cipher_id_ == kCipherChaCha20Poly1305)) {
    // The expected tag served its one message.
    WipeString(tag_);
    tag_expected_ = false;
  }
}

int CipherEngine::UpdateStream(const uint8_t* in, size_t length, ByteString& output) {
  if (length == 0) return kOk;
  const bool aead = cipher_id_ == kCipherAesGcm || cipher_id_ == kCipherChaCha20Poly1305;
  if (aead && !encrypting_) {
    // Plaintext waits for the tag check; it must fit the output string it is released into.
    const size_t old = held_.size();
    if (length > static_cast<size_t>(INT32_MAX - 1) - old) return kErrOutOfMemory;
    int rc = held_.Resize(old + length);
    if (rc != kOk) return rc;
    uint8_t* out = held_.data() + old;
    rc = cipher_id_ == kCipherAesGcm ? gcm_.Crypt(in, length, out, false)
                                     : chacha_poly_.Crypt(in, length, out, false);
    if (rc != kOk) held_.Resize(old);
    return MapAeadCode(rc);
  }
  const int old = output.length();
  uint8_t* out = GrowOutput(output, length);
  if (!out) return kErrOutOfMemory;
  const CipherOps* ops = Ops();
  int rc = ops && ops->crypt ? ops->crypt(*this, in, length, out) : kErrCipherUnknown;
  if (rc != kOk) ShrinkOutput(output, old);
  return rc;
}

int CipherEngine::FinalStream(const uint8_t* in, size_t length, ByteString& output) {
  int rc = UpdateStream(in, length, output);
  if (cipher_id_ != kCipherAesGcm && cipher_id_ != kCipherChaCha20Poly1305) return rc;
  const bool gcm = cipher_id_ == kCipherAesGcm;
  if (rc != kOk) return rc;
  uint8_t tag[16];
  if (encrypting_) {
    int n = gcm ? TagBytes() : ChaCha20Poly1305Context::kTagBytes;
    rc = gcm ? gcm_.Finish(tag, &n, true) : chacha_poly_.Finish(tag, n, true);
    if (rc == kOk) rc = SetSecretString(tag_, tag, n);
    tag_expected_ = false;
    WipeBytes(tag, sizeof tag);
    return MapAeadCode(rc);
  }
  if (gcm) {
    // The expected tag must have the configured length; a shorter one would be easier to forge.
    int n = TagBytes();
    rc = tag_.length() == n ? gcm_.Finish(tag_.bytes(), &n, false) : kAeadTagMismatch;
  } else if (tag_.empty()) {
    rc = kErrCipherNoTag;
  } else {
    rc = chacha_poly_.Finish(tag_.bytes(), tag_.length(), false);
  }
  rc = MapAeadCode(rc);
  if (rc != kOk) {
    held_.Clear();
    WipeString(output);
    return rc;
  }
  rc = output.Append(held_.data(), static_cast<int>(held_.size()));
  held_.Clear();
  return rc;
}

int CipherEngine::UpdateBlock(const uint8_t* in, int* length, ByteString& output) {
  const size_t b = block_bytes_;
  if (mode_ == kCipherModeOfb || mode_ == kCipherModeCfb) {
    return ProcessBlocks(in, static_cast<size_t>(*length), output);
  }
  const size_t whole = static_cast<size_t>(*length) / b * b;
  *length = static_cast<int>(whole);
  if (mode_ == kCipherModeCts) return CtsAbsorb(in, whole, output);
  return ProcessBlocks(in, whole, output);
}

int CipherEngine::FinalBlock(const uint8_t* in, size_t length, ByteString& output) {
  if (mode_ == kCipherModeCts) {
    int rc = CtsAbsorb(in, length, output);
    return rc != kOk ? rc : CtsFinish(output);
  }
  return encrypting_ ? PadAndFinish(in, length, output) : UnpadAndFinish(in, length, output);
}

// ---------------------------------------------------------------------------------------------
// The ciphers' operations

template <auto kContext>
constexpr CipherEngine::CipherOps CipherEngine::BlockCipherOps() {
  return {
      [](CipherEngine& e, const uint8_t* key, int n) {
        return (e.*kContext).SetKey(key, n, e.encrypting_, e.mode_);
      },
      [](CipherEngine& e, const uint8_t* in, uint8_t* out) { return (e.*kContext).EncryptBlock(in, out); },
      [](CipherEngine& e, const uint8_t* in, uint8_t* out) { return (e.*kContext).DecryptBlock(in, out); },
      nullptr,
  };
}

constexpr CipherEngine::CipherOps CipherEngine::kCipherOps[kCipherCount] = {
    /* kCipherAes */ BlockCipherOps<&CipherEngine::aes_>(),
    /* kCipherDes */ BlockCipherOps<&CipherEngine::des_>(),
    /* kCipherTripleDes */ BlockCipherOps<&CipherEngine::tdes_>(),
    /* kCipherCast128 */ BlockCipherOps<&CipherEngine::cast_>(),
    /* kCipherBlowfish */ BlockCipherOps<&CipherEngine::blowfish_>(),
    /* kCipherTwofish */ BlockCipherOps<&CipherEngine::twofish_>(),
    /* kCipherIdea */ BlockCipherOps<&CipherEngine::idea_>(),
    /* kCipherRc4 */
    {[](CipherEngine& e, const uint8_t* key, int n) { return e.rc4_.SetKey(key, n); }, nullptr, nullptr,
     [](CipherEngine& e, const uint8_t* in, size_t length, uint8_t* out) {
       return e.rc4_.Crypt(in, length, out);
     }},
    /* kCipherRc2 */ BlockCipherOps<&CipherEngine::rc2_>(),
    /* kCipherTea */
    {[](CipherEngine& e, const uint8_t* key, int n) {
       int rc = e.tea_.SetRounds(e.tea_rounds_);
       return rc != kOk ? rc : e.tea_.SetKey(key, n, e.encrypting_, e.mode_);
     },
     BlockCipherOps<&CipherEngine::tea_>().encrypt_block, BlockCipherOps<&CipherEngine::tea_>().decrypt_block,
     nullptr},
    /* kCipherXtea */
    {[](CipherEngine& e, const uint8_t* key, int n) {
       int rc = e.xtea_.SetRounds(e.tea_rounds_);
       if (rc != kOk) return rc;
       e.xtea_.SetVariant(e.xtea_variant_);
       return e.xtea_.SetKey(key, n, e.encrypting_, e.mode_);
     },
     BlockCipherOps<&CipherEngine::xtea_>().encrypt_block,
     BlockCipherOps<&CipherEngine::xtea_>().decrypt_block, nullptr},
    /* kCipherXxtea: the block is as long as the block bits say */
    {[](CipherEngine& e, const uint8_t* key, int n) {
       return e.xxtea_.SetKey(key, n, e.encrypting_, e.mode_);
     },
     [](CipherEngine& e, const uint8_t* in, uint8_t* out) {
       return e.xxtea_.EncryptBlock(in, out, e.block_bytes_);
     },
     [](CipherEngine& e, const uint8_t* in, uint8_t* out) {
       return e.xxtea_.DecryptBlock(in, out, e.block_bytes_);
     },
     nullptr},
    /* kCipherAesGcm */
    {[](CipherEngine& e, const uint8_t* key, int n) {
       // An empty IV would give every message under this key the same counter blocks.
       if (e.iv_.empty()) return kErrCipherDataLength;
       int rc;
       if (e.gcm_keyed_ && e.gcm_.HasKey()) {
         e.gcm_.Restart();
       } else {
         rc = e.gcm_.SetKey(key, n);
         if (rc != kOk) return rc;
         e.gcm_keyed_ = true;
       }
       rc = e.gcm_.AddIv(e.iv_.bytes(), static_cast<size_t>(e.iv_.length()));
       if (rc == kOk) rc = e.gcm_.AddAad(e.aad_.bytes(), static_cast<size_t>(e.aad_.length()));
       return MapAeadCode(rc);
     },
     nullptr, nullptr,
     [](CipherEngine& e, const uint8_t* in, size_t length, uint8_t* out) {
       return MapAeadCode(e.gcm_.Crypt(in, length, out, true));
     }},
    /* kCipherRijndael: the key schedule depends on the block length */
    {[](CipherEngine& e, const uint8_t* key, int n) {
       return e.rijndael_.SetKey(key, n, static_cast<int>(e.block_bytes_), e.encrypting_, e.mode_);
     },
     [](CipherEngine& e, const uint8_t* in, uint8_t* out) { return e.rijndael_.EncryptBlock(in, out); },
     [](CipherEngine& e, const uint8_t* in, uint8_t* out) { return e.rijndael_.DecryptBlock(in, out); },
     nullptr},
    /* kCipherChaCha20 */
    {[](CipherEngine& e, const uint8_t* key, int n) {
       return e.chacha_.Setup(key, n, e.iv_.bytes(), e.iv_.length(), e.initial_counter_);
     },
     nullptr, nullptr,
     [](CipherEngine& e, const uint8_t* in, size_t length, uint8_t* out) {
       return e.chacha_.Crypt(in, length, out);
     }},
    /* kCipherChaCha20Poly1305 */
    {[](CipherEngine& e, const uint8_t* key, int n) {
       int rc = e.chacha_poly_.Start(key, n, e.iv_.bytes(), e.iv_.length(), e.initial_counter_,
                                     e.encrypting_ != 0);
       if (rc == kOk) rc = e.chacha_poly_.AddAad(e.aad_.bytes(), static_cast<size_t>(e.aad_.length()));
       return MapAeadCode(rc);
     },
     nullptr, nullptr,
     [](CipherEngine& e, const uint8_t* in, size_t length, uint8_t* out) {
       return MapAeadCode(e.chacha_poly_.Crypt(in, length, out, true));
     }},
    /* kCipherSalsa20 */
    {[](CipherEngine& e, const uint8_t* key, int n) {
       int rc = e.salsa_.SetRounds(e.salsa_rounds_);
       return rc != kOk ? rc : e.salsa_.Setup(key, n, e.iv_.bytes(), e.iv_.length(), 0, e.salsa_variant_);
     },
     nullptr, nullptr,
     [](CipherEngine& e, const uint8_t* in, size_t length, uint8_t* out) {
       return e.salsa_.Crypt(in, length, out);
     }},
};

const CipherEngine::CipherOps* CipherEngine::Ops() const {
  if (cipher_id_ < 0 || cipher_id_ >= kCipherCount) return nullptr;
  // An id the table leaves out has no set-up, and is no cipher.
  const CipherOps& ops = kCipherOps[cipher_id_];
  return ops.set_up != nullptr ? &ops : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Copy and wipe

int CipherEngine::CopyFrom(const CipherEngine& other) {
  if (this == &other) return kOk;
  cipher_id_ = other.cipher_id_;
  key_bits_ = other.key_bits_;
  block_bits_ = other.block_bits_;
  mode_ = other.mode_;
  padding_ = other.padding_;
  feedback_bits_ = other.feedback_bits_;
  encrypting_ = other.encrypting_;
  is_stream_ = other.is_stream_;
  tag_bits_ = other.tag_bits_;
  initial_counter_ = other.initial_counter_;
  tea_rounds_ = other.tea_rounds_;
  xtea_variant_ = other.xtea_variant_;
  salsa_rounds_ = other.salsa_rounds_;
  salsa_variant_ = other.salsa_variant_;
  int rc = SetSecretString(iv_, other.iv_.bytes(), other.iv_.length());
  if (rc == kOk) rc = SetSecretString(key_, other.key_.bytes(), other.key_.length());
  if (rc == kOk) rc = SetSecretString(register_, other.register_.bytes(), other.register_.length());
  const int copies[] = {
      aes_.CopyFrom(other.aes_),     des_.CopyFrom(other.des_),           tdes_.CopyFrom(other.tdes_),
      cast_.CopyFrom(other.cast_),   blowfish_.CopyFrom(other.blowfish_), twofish_.CopyFrom(other.twofish_),
      idea_.CopyFrom(other.idea_),   rc4_.CopyFrom(other.rc4_),           rc2_.CopyFrom(other.rc2_),
      tea_.CopyFrom(other.tea_),     xtea_.CopyFrom(other.xtea_),         xxtea_.CopyFrom(other.xxtea_),
      gcm_.CopyFrom(other.gcm_),     rijndael_.CopyFrom(other.rijndael_), chacha_.CopyFrom(other.chacha_),
      salsa_.CopyFrom(other.salsa_),
  };
  for (int c : copies) {
    if (rc == kOk) rc = c;
  }
  if (rc == kOk) rc = pending_.CopyFrom(other.pending_);
  if (rc == kOk) rc = held_.CopyFrom(other.held_);
  if (rc == kOk) rc = big_in_.Resize(other.big_in_.size());
  if (rc == kOk) rc = big_out_.Resize(other.big_out_.size());
  block_bytes_ = other.block_bytes_;
  stream_pos_ = other.stream_pos_;
  message_bytes_ = other.message_bytes_;
  gcm_keyed_ = other.gcm_keyed_;
  // ChaCha20-Poly1305 is not copied, so a running message of it cannot continue in the copy.
  started_ = rc == kOk && other.started_ && cipher_id_ != kCipherChaCha20Poly1305;
  return rc;
}

void CipherEngine::Wipe() {
  WipeString(key_);
  WipeString(iv_);
  WipeString(register_);
  WipeString(tag_);
  WipeString(aad_);
  aes_.Clear();
  des_.Clear();
  tdes_.Clear();
  cast_.Clear();
  blowfish_.Clear();
  twofish_.Clear();
  idea_.Clear();
  rc4_.Clear();
  rc2_.Clear();
  tea_.Clear();
  xtea_.Clear();
  xxtea_.Clear();
  gcm_.Clear();
  rijndael_.Clear();
  chacha_.Clear();
  chacha_poly_.Clear();
  salsa_.Clear();
  WipeBytes(in_block_, sizeof in_block_);
  WipeBytes(out_block_, sizeof out_block_);
  big_in_.Release();
  big_out_.Release();
  pending_.Release();
  held_.Release();
  stream_pos_ = 0;
  message_bytes_ = 0;
  started_ = false;
  tag_expected_ = false;
  gcm_keyed_ = false;
}

void DestroyCipherContext(CipherEngine& engine) { engine.Wipe(); }

// ---------------------------------------------------------------------------------------------
// CipherHolder

bool CipherHolder::IsAead() const {
  const int id = engine_.CipherId();
  return id == kCipherAesGcm || id == kCipherChaCha20Poly1305;
}

int CipherHolder::EncryptChunk(const uint8_t* input, int length, ByteString& output) {
  return Chunk(true, input, length, output);
}

int CipherHolder::DecryptChunk(const uint8_t* input, int length, ByteString& output) {
  return Chunk(false, input, length, output);
}

int CipherHolder::Chunk(bool encrypt, const uint8_t* input, int length, ByteString& output) {
  bool& started = encrypt ? encrypt_started_ : decrypt_started_;
  if (!started || !engine_.Started() || (engine_.Encrypting() != 0) != encrypt) {
    int rc = encrypt ? engine_.StartEncrypt() : engine_.StartDecrypt();
    if (rc != kOk) return rc;
    started = true;
  }
  int taken = length;
  int rc = engine_.Update(input, 0, &taken, output);
  if (rc == kOk && taken != length) rc = kErrCipherDataLength;  // a record of whole blocks only
  if (!IsAead()) return rc;
  started = false;
  if (rc != kOk) {
    if (!encrypt) output.Reset();
    return rc;
  }
  rc = engine_.Final(nullptr, 0, 0, output);
  if (rc == kOk && encrypt) rc = output.AppendString(engine_.GetTag());
  return rc;
}

}  // namespace tw
