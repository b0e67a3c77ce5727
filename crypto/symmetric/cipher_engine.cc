#include "crypto/symmetric/cipher_engine.h"

#include <climits>
#include <cstring>

#include "crypto/symmetric/aead_common.h"
#include "crypto/symmetric/random_source.h"
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

// out may be a or b.
void XorBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    x ^= y;
    std::memcpy(out + i, &x, 8);
  }
  for (; i < n; ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

// Grows output by n bytes and returns where they start, or null (out of memory).
uint8_t* GrowOutput(ByteString& output, size_t n) {
  const size_t old = static_cast<size_t>(output.length());
  if (n > static_cast<size_t>(INT32_MAX - 1) - old) return nullptr;
  if (output.Resize(static_cast<int>(old + n)) != kOk) return nullptr;
  return output.bytes() + old;
}

// Takes output back to old bytes, wiping what it drops.
void ShrinkOutput(ByteString& output, int old) {
  if (output.length() > old) {
    WipeBytes(output.bytes() + old, static_cast<size_t>(output.length() - old));
    output.Resize(old);
  }
}

constexpr uint64_t kTopByte = 0xFF00000000000000ull;

uint64_t LoadBe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

void StoreBe64(uint8_t* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
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
  const uint8_t* key = key_.bytes();
  const int key_length = key_.length();
  const int enc = encrypting_;
  const int mode = mode_;
  switch (cipher_id_) {
    case kCipherAes:
      return aes_.SetKey(key, key_length, enc, mode);
    case kCipherDes:
      return des_.SetKey(key, key_length, enc, mode);
    case kCipherTripleDes:
      return tdes_.SetKey(key, key_length, enc, mode);
    case kCipherCast128:
      return cast_.SetKey(key, key_length, enc, mode);
    case kCipherBlowfish:
      return blowfish_.SetKey(key, key_length, enc, mode);
    case kCipherTwofish:
      return twofish_.SetKey(key, key_length, enc, mode);
    case kCipherIdea:
      return idea_.SetKey(key, key_length, enc, mode);
    case kCipherRc4:
      return rc4_.SetKey(key, key_length);
    case kCipherRc2:
      return rc2_.SetKey(key, key_length, enc, mode);
    case kCipherTea: {
      int rc = tea_.SetRounds(tea_rounds_);
      return rc != kOk ? rc : tea_.SetKey(key, key_length, enc, mode);
    }
    case kCipherXtea: {
      int rc = xtea_.SetRounds(tea_rounds_);
      if (rc != kOk) return rc;
      xtea_.SetVariant(xtea_variant_);
      return xtea_.SetKey(key, key_length, enc, mode);
    }
    case kCipherXxtea:
      return xxtea_.SetKey(key, key_length, enc, mode);
    case kCipherAesGcm: {
      // An empty IV would give every message under this key the same counter blocks.
      if (iv_.empty()) return kErrCipherDataLength;
      int rc;
      if (gcm_keyed_ && gcm_.HasKey()) {
        gcm_.Restart();
      } else {
        rc = gcm_.SetKey(key, key_length);
        if (rc != kOk) return rc;
        gcm_keyed_ = true;
      }
      rc = gcm_.AddIv(iv_.bytes(), static_cast<size_t>(iv_.length()));
      if (rc == kOk) rc = gcm_.AddAad(aad_.bytes(), static_cast<size_t>(aad_.length()));
      return MapAeadCode(rc);
    }
    case kCipherRijndael:
      return rijndael_.SetKey(key, key_length, static_cast<int>(block_bytes_), enc, mode);
    case kCipherChaCha20:
      return chacha_.Setup(key, key_length, iv_.bytes(), iv_.length(), initial_counter_);
    case kCipherChaCha20Poly1305: {
      int rc = chacha_poly_.Start(key, key_length, iv_.bytes(), iv_.length(), initial_counter_, enc != 0);
      if (rc == kOk) rc = chacha_poly_.AddAad(aad_.bytes(), static_cast<size_t>(aad_.length()));
      return MapAeadCode(rc);
    }
    case kCipherSalsa20: {
      int rc = salsa_.SetRounds(salsa_rounds_);
      return rc != kOk ? rc : salsa_.Setup(key, key_length, iv_.bytes(), iv_.length(), 0, salsa_variant_);
    }
    default:
      return kErrCipherUnknown;
  }
}

// ---------------------------------------------------------------------------------------------
// Block functions

int CipherEngine::EncryptBlock(const uint8_t* in, uint8_t* out) {
  switch (cipher_id_) {
    case kCipherAes:
      return aes_.EncryptBlock(in, out);
    case kCipherDes:
      return des_.EncryptBlock(in, out);
    case kCipherTripleDes:
      return tdes_.EncryptBlock(in, out);
    case kCipherCast128:
      return cast_.EncryptBlock(in, out);
    case kCipherBlowfish:
      return blowfish_.EncryptBlock(in, out);
    case kCipherTwofish:
      return twofish_.EncryptBlock(in, out);
    case kCipherIdea:
      return idea_.EncryptBlock(in, out);
    case kCipherRc2:
      return rc2_.EncryptBlock(in, out);
    case kCipherTea:
      return tea_.EncryptBlock(in, out);
    case kCipherXtea:
      return xtea_.EncryptBlock(in, out);
    case kCipherXxtea:
      return xxtea_.EncryptBlock(in, out, block_bytes_);
    case kCipherRijndael:
      return rijndael_.EncryptBlock(in, out);
    default:
      return kErrCipherUnknown;  // no block function
  }
}

int CipherEngine::DecryptBlock(const uint8_t* in, uint8_t* out) {
  switch (cipher_id_) {
    case kCipherAes:
      return aes_.DecryptBlock(in, out);
    case kCipherDes:
      return des_.DecryptBlock(in, out);
    case kCipherTripleDes:
      return tdes_.DecryptBlock(in, out);
    case kCipherCast128:
      return cast_.DecryptBlock(in, out);
    case kCipherBlowfish:
      return blowfish_.DecryptBlock(in, out);
    case kCipherTwofish:
      return twofish_.DecryptBlock(in, out);
    case kCipherIdea:
      return idea_.DecryptBlock(in, out);
    case kCipherRc2:
      return rc2_.DecryptBlock(in, out);
    case kCipherTea:
      return tea_.DecryptBlock(in, out);
    case kCipherXtea:
      return xtea_.DecryptBlock(in, out);
    case kCipherXxtea:
      return xxtea_.DecryptBlock(in, out, block_bytes_);
    case kCipherRijndael:
      return rijndael_.DecryptBlock(in, out);
    default:
      return kErrCipherUnknown;
  }
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
// Modes. in and out never overlap here.

int CipherEngine::RunEcb(const uint8_t* in, uint8_t* out, size_t blocks) {
  return encrypting_ ? EncryptBlocks(in, out, blocks) : DecryptBlocks(in, out, blocks);
}

int CipherEngine::RunCbc(const uint8_t* in, uint8_t* out, size_t blocks) {
  const size_t b = block_bytes_;
  uint8_t* chain = register_.bytes();
  if (blocks == 0) return kOk;
  if (encrypting_) {
    uint8_t* x = ScratchIn();
    const uint8_t* prev = chain;
    for (size_t i = 0; i < blocks; ++i) {
      XorBytes(in + i * b, prev, x, b);
      int rc = EncryptBlock(x, out + i * b);
      if (rc != kOk) return rc;
      prev = out + i * b;
    }
    std::memcpy(chain, prev, b);
    WipeBytes(x, b);
    return kOk;
  }
  // All blocks decrypted at once (pipelined for AES), then each XORed with the ciphertext before it.
  int rc = DecryptBlocks(in, out, blocks);
  if (rc != kOk) return rc;
  XorBytes(out, chain, out, b);
  for (size_t i = 1; i < blocks; ++i) XorBytes(out + i * b, in + (i - 1) * b, out + i * b, b);
  std::memcpy(chain, in + (blocks - 1) * b, b);
  return kOk;
}

// The counter runs as a big-endian number from the last byte; the carry stops at the second byte,
// so the first byte of the counter block never changes.
void CipherEngine::IncrementCounter() {
  uint8_t* c = register_.bytes();
  for (size_t i = block_bytes_ - 1; i >= 1; --i) {
    if (++c[i] != 0) break;
  }
}

int CipherEngine::RunCtr(const uint8_t* in, uint8_t* out, size_t blocks) {
  const size_t b = block_bytes_;
  uint8_t* counters = ScratchIn();
  uint8_t* stream = ScratchOut();
  const size_t batch = b <= kFixedBlockBytes ? kFixedBlockBytes / b : 1;
  size_t done = 0;
  while (done < blocks) {
    const size_t n = blocks - done < batch ? blocks - done : batch;
    if (b == 16) {
      // Two 64-bit halves; the carry out of the low half goes into the high half below its top byte.
      uint8_t* reg = register_.bytes();
      uint64_t hi = LoadBe64(reg), lo = LoadBe64(reg + 8);
      for (size_t i = 0; i < n; ++i) {
        StoreBe64(counters + 16 * i, hi);
        StoreBe64(counters + 16 * i + 8, lo);
        if (++lo == 0) hi = (hi & kTopByte) | ((hi + 1) & ~kTopByte);
      }
      StoreBe64(reg, hi);
      StoreBe64(reg + 8, lo);
    } else {
      for (size_t i = 0; i < n; ++i) {
        std::memcpy(counters + i * b, register_.bytes(), b);
        IncrementCounter();
      }
    }
    int rc = EncryptBlocks(counters, stream, n);
    if (rc != kOk) return rc;
    XorBytes(in + done * b, stream, out + done * b, n * b);
    done += n;
  }
  WipeBytes(stream, batch * b);
  return kOk;
}

int CipherEngine::RunOfb(const uint8_t* in, uint8_t* out, size_t length) {
  const size_t b = block_bytes_;
  uint8_t* reg = register_.bytes();
  if (feedback_bits_ == 8) {
    uint8_t* ks = ScratchOut();
    for (size_t i = 0; i < length; ++i) {
      int rc = EncryptBlock(reg, ks);
      if (rc != kOk) return rc;
      out[i] = static_cast<uint8_t>(in[i] ^ ks[0]);
      std::memmove(reg, reg + 1, b - 1);
      reg[b - 1] = ks[0];
    }
    return kOk;
  }
  // The register is the keystream block; its unused bytes carry over to the next call.
  size_t done = 0;
  while (done < length) {
    if (stream_pos_ == b) {
      int rc = EncryptBlock(reg, reg);
      if (rc != kOk) return rc;
      stream_pos_ = 0;
    }
    const size_t take = length - done < b - stream_pos_ ? length - done : b - stream_pos_;
    XorBytes(in + done, reg + stream_pos_, out + done, take);
    stream_pos_ += take;
    done += take;
  }
  return kOk;
}

int CipherEngine::RunCfb(const uint8_t* in, uint8_t* out, size_t length) {
  const size_t b = block_bytes_;
  uint8_t* reg = register_.bytes();
  if (feedback_bits_ == 8) {
    uint8_t* ks = ScratchOut();
    for (size_t i = 0; i < length; ++i) {
      int rc = EncryptBlock(reg, ks);
      if (rc != kOk) return rc;
      const uint8_t c = encrypting_ ? static_cast<uint8_t>(in[i] ^ ks[0]) : in[i];
      out[i] = static_cast<uint8_t>(in[i] ^ ks[0]);
      std::memmove(reg, reg + 1, b - 1);
      reg[b - 1] = c;
    }
    return kOk;
  }
  // The register holds the keystream block, each used byte replaced by its ciphertext byte; a full
  // block of ciphertext is the next input to the cipher.
  size_t done = 0;
  while (done < length) {
    if (stream_pos_ == b) {
      int rc = EncryptBlock(reg, reg);
      if (rc != kOk) return rc;
      stream_pos_ = 0;
    }
    const size_t take = length - done < b - stream_pos_ ? length - done : b - stream_pos_;
    uint8_t* ks = reg + stream_pos_;
    if (encrypting_) {
      XorBytes(in + done, ks, ks, take);
      std::memcpy(out + done, ks, take);
    } else {
      XorBytes(in + done, ks, out + done, take);
      std::memcpy(ks, in + done, take);
    }
    stream_pos_ += take;
    done += take;
  }
  return kOk;
}

int CipherEngine::RunBlockMode(const uint8_t* in, uint8_t* out, size_t length) {
  int rc;
  switch (mode_) {
    case kCipherModeEcb:
      rc = RunEcb(in, out, length / block_bytes_);
      break;
    case kCipherModeCbc:
    case kCipherModeCts:
      rc = RunCbc(in, out, length / block_bytes_);
      break;
    case kCipherModeCtr:
      rc = RunCtr(in, out, length / block_bytes_);
      break;
    case kCipherModeOfb:
      rc = RunOfb(in, out, length);
      break;
    case kCipherModeCfb:
      rc = RunCfb(in, out, length);
      break;
    default:
      return kErrCipherMode;
  }
  if (rc == kOk) message_bytes_ += length;
  return rc;
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
  int rc;
  switch (cipher_id_) {
    case kCipherRc4:
      rc = rc4_.Crypt(in, length, out);
      break;
    case kCipherChaCha20:
      rc = chacha_.Crypt(in, length, out);
      break;
    case kCipherSalsa20:
      rc = salsa_.Crypt(in, length, out);
      break;
    case kCipherAesGcm:
      rc = MapAeadCode(gcm_.Crypt(in, length, out, true));
      break;
    case kCipherChaCha20Poly1305:
      rc = MapAeadCode(chacha_poly_.Crypt(in, length, out, true));
      break;
    default:
      rc = kErrCipherUnknown;
      break;
  }
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

int CipherEngine::PadAndFinish(const uint8_t* in, size_t length, ByteString& output) {
  const size_t b = block_bytes_;
  if (mode_ == kCipherModeOfb) return ProcessBlocks(in, length, output);
  const bool cfb = mode_ == kCipherModeCfb;
  const size_t r = cfb ? static_cast<size_t>((message_bytes_ + length) % b) : length % b;
  if (padding_ == kPaddingNone) {
    if (r != 0 && !cfb) return kErrCipherDataLength;
    return ProcessBlocks(in, length, output);
  }
  const size_t p = b - r;  // a whole block when the data ends on a block boundary
  // The data up to the last block, then the last block with its padding.
  const size_t direct = cfb ? length : length - r;
  const size_t tail = cfb ? 0 : r;
  const int old = output.length();
  int rc = ProcessBlocks(in, direct, output);
  if (rc != kOk) return rc;
  SecretBuffer last;
  rc = last.Resize(tail + p);
  if (rc != kOk) {
    ShrinkOutput(output, old);
    return rc;
  }
  uint8_t* block = last.data();
  if (tail) std::memcpy(block, in + direct, tail);
  uint8_t* pad = block + tail;
  switch (padding_) {
    case kPaddingPkcs7:
      std::memset(pad, static_cast<int>(p), p);
      break;
    case kPaddingAnsiX923:
      pad[p - 1] = static_cast<uint8_t>(p);
      break;
    case kPaddingIso10126: {
      // The filler must not be guessable: without the system generator the message fails.
      RandomSource source;
      rc = source.Fill(pad, static_cast<int>(p - 1));
      if (rc != kOk) {
        ShrinkOutput(output, old);
        return rc;
      }
      pad[p - 1] = static_cast<uint8_t>(p);
      break;
    }
    default:  // zero bytes, also for a padding id the engine does not know
      break;
  }
  rc = ProcessBlocks(block, tail + p, output);
  if (rc != kOk) ShrinkOutput(output, old);
  return rc;
}

int CipherEngine::UnpadAndFinish(const uint8_t* in, size_t length, ByteString& output) {
  const size_t b = block_bytes_;
  if (mode_ == kCipherModeOfb) return ProcessBlocks(in, length, output);
  const bool cfb = mode_ == kCipherModeCfb;
  if (cfb && padding_ == kPaddingNone) return ProcessBlocks(in, length, output);
  const size_t r = cfb ? static_cast<size_t>((message_bytes_ + length) % b) : length % b;
  if (r != 0) return kErrCipherDataLength;
  if (!RemovesPadding()) return ProcessBlocks(in, length, output);

  // The held-back block and the last data, decrypted in place at the end of output.
  const int old = output.length();
  const size_t held = held_.size();
  uint8_t* region = GrowOutput(output, held + length);
  if (!region) return kErrOutOfMemory;
  if (held) std::memcpy(region, held_.data(), held);
  held_.Clear();
  int rc = RunBlockMode(in, region + held, length);
  if (rc != kOk) {
    ShrinkOutput(output, old);
    return rc;
  }
  const size_t total = held + length;
  const size_t window = total < b ? total : b;
  const uint8_t* last = region + total - window;  // the final block
  size_t count = 0;
  if (padding_ == kPaddingZeros) {
    // Zero bytes carry no count: every trailing zero of the final block goes.
    while (count < window && last[window - 1 - count] == 0) ++count;
  } else {
    // The count and every pad byte are checked without branching on their values.
    const uint8_t c = window ? last[window - 1] : 0;
    const size_t n = c;
    uint32_t bad = static_cast<uint32_t>(n == 0) | static_cast<uint32_t>(n > window);
    for (size_t i = 0; i + 1 < window; ++i) {
      // Pad bytes are the positions window-n .. window-2.
      const uint32_t in_pad = static_cast<uint32_t>(i + n >= window);
      uint8_t want = padding_ == kPaddingPkcs7 ? c : 0;
      uint32_t differs = static_cast<uint32_t>(last[i] != want);
      if (padding_ == kPaddingIso10126) differs = 0;  // random filler
      bad |= in_pad & differs;
    }
    if (bad) {
      ShrinkOutput(output, old);
      return kErrCipherPadding;
    }
    count = n;
  }
  ShrinkOutput(output, old + static_cast<int>(total - count));
  return kOk;
}

// Ciphertext stealing: whole blocks pass through CBC while more than two blocks are pending;
// one to two blocks stay for Final.
int CipherEngine::CtsAbsorb(const uint8_t* in, size_t length, ByteString& output) {
  const size_t b = block_bytes_;
  int rc = pending_.Append(in, length);
  if (rc != kOk) return rc;
  if (pending_.size() <= 2 * b) return kOk;
  const size_t pass = (pending_.size() - b - 1) / b * b;
  rc = ProcessBlocks(pending_.data(), pass, output);
  if (rc != kOk) return rc;
  pending_.EraseFront(pass);
  return kOk;
}

int CipherEngine::CtsFinish(ByteString& output) {
  const size_t b = block_bytes_;
  if (pending_.size() <= b) return kErrCipherCtsTooShort;
  const size_t d = pending_.size() - b;
  SecretBuffer work;
  int rc = work.Resize(3 * b);
  if (rc != kOk) return rc;
  uint8_t* a = work.data();
  uint8_t* x = a + b;
  uint8_t* y = x + b;
  const uint8_t* first = pending_.data();
  const uint8_t* rest = first + b;
  const int old = output.length();
  uint8_t* out = GrowOutput(output, b + d);
  if (!out) return kErrOutOfMemory;
  if (encrypting_) {
    rc = RunCbc(first, a, 1);
    if (rc == kOk) {
      std::memcpy(x, rest, d);  // the short last block, zero-extended
      rc = RunCbc(x, y, 1);
    }
    if (rc == kOk) {
      std::memcpy(out, y, b);
      std::memcpy(out + b, a, d);
    }
  } else {
    SecretBuffer chain;
    rc = chain.Assign(register_.bytes(), b);
    if (rc == kOk) {
      std::memset(register_.bytes(), 0, b);
      std::memcpy(register_.bytes(), rest, d);
      rc = RunCbc(first, a, 1);
      std::memcpy(register_.bytes(), chain.data(), b);
    }
    if (rc == kOk) {
      std::memcpy(x, rest, d);
      std::memcpy(x + d, a + d, b - d);
      rc = RunCbc(x, y, 1);
    }
    if (rc == kOk) {
      std::memcpy(out, y, b);
      std::memcpy(out + b, a, d);
    }
  }
  if (rc != kOk) ShrinkOutput(output, old);
  return rc;
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
