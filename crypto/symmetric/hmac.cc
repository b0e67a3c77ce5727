#include "crypto/symmetric/hmac.h"

#include <cstring>

#include "foundation/stream.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr uint8_t kInnerByte = 0x36;
constexpr uint8_t kOuterByte = 0x5C;
constexpr int kMaxDigest = 64;
// The line-read operation's limit per call in the keyed-hash format.
constexpr int kEncodeLineBytes = 1022;

}  // namespace

bool MacEquals(const void* a, const void* b, size_t n) {
  const volatile uint8_t* x = static_cast<const volatile uint8_t*>(a);
  const volatile uint8_t* y = static_cast<const volatile uint8_t*>(b);
  uint8_t diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= static_cast<uint8_t>(x[i] ^ y[i]);
  return diff == 0;
}

HmacEngine::HmacEngine() { WipeStates(); }

HmacEngine::~HmacEngine() {
  WipeStates();
  WipeString(key_);
}

// Freeing a context wipes it.
void HmacEngine::WipeStates() {
  innerState_.Reset();
  outerState_.Reset();
  statesReady_ = false;
}

int HmacEngine::SetKey(int hash_id, const void* key, int key_length) {
  restart_ = true;
  macValid_ = false;
  if (key == nullptr || key_length < 0) key_length = 0;
  const char* source = static_cast<const char*>(key);
  // Compute re-keys with the stored key itself: the states made for it still hold.
  if (source != nullptr && source == key_.data() && key_length == key_.length() && hash_id == hashId_ &&
      statesReady_) {
    return kOk;
  }
  WipeStates();
  // The working context may hold the old key's states; it is made again at the next MAC.
  engine_.Reset();
  hashId_ = hash_id;
  const int rc = HashBlockSizeOf(hash_id) > 0 ? kOk : kErrHashAlgorithm;
  if (source != nullptr && source >= key_.data() && source < key_.data() + key_.capacity()) {
    if (source == key_.data() && key_length == key_.length()) return rc;
    ByteString copy;
    int stored = copy.Set(source, key_length);
    if (stored == kOk) {
      WipeString(key_);
      stored = key_.Set(copy.data(), copy.length());
    }
    WipeString(copy);
    if (stored != kOk) return stored;
  } else {
    WipeString(key_);
    const int stored = key_.Set(key, key_length);
    if (stored != kOk) return stored;
  }
  return rc;
}

int HmacEngine::PrepareStates() {
  const int block = HashBlockSizeOf(hashId_);
  if (block <= 0 || block > kMaxBlock) return kErrHashAlgorithm;
  uint8_t innerPad[kMaxBlock] = {};
  uint8_t outerPad[kMaxBlock];
  int rc = kOk;
  if (key_.length() <= block) {
    if (key_.length() > 0) std::memcpy(innerPad, key_.data(), static_cast<size_t>(key_.length()));
  } else {
    // A key longer than the block is replaced by its digest, made by a fresh engine.
    HashEngine keyHash;
    rc = keyHash.SetAlgorithm(hashId_);
    if (rc == kOk) rc = keyHash.Update(key_.data(), key_.length());
    if (rc == kOk) rc = keyHash.Final();
    if (rc == kOk) {
      std::memcpy(innerPad, keyHash.digest().data(), static_cast<size_t>(keyHash.digest().length()));
    }
  }
  if (rc == kOk) {
    std::memcpy(outerPad, innerPad, sizeof outerPad);
    for (int i = 0; i < block; ++i) {
      innerPad[i] ^= kInnerByte;
      outerPad[i] ^= kOuterByte;
    }
    rc = innerState_.SetAlgorithm(hashId_);
    if (rc == kOk) rc = innerState_.Update(innerPad, block);
    if (rc == kOk) rc = outerState_.SetAlgorithm(hashId_);
    if (rc == kOk) rc = outerState_.Update(outerPad, block);
  }
  WipeBytes(innerPad, sizeof innerPad);
  WipeBytes(outerPad, sizeof outerPad);
  if (rc != kOk) {
    WipeStates();
    return rc;
  }
  statesReady_ = true;
  return kOk;
}

int HmacEngine::Start() {
  macValid_ = false;
  int rc = statesReady_ ? kOk : PrepareStates();
  // Same algorithm: the context is copied over, not made again.
  if (rc == kOk) rc = engine_.CopyFrom(innerState_);
  if (rc == kOk) restart_ = false;
  return rc;
}

int HmacEngine::Update(const void* bytes, int64_t count) {
  if (restart_) {
    const int rc = Start();
    if (rc != kOk) return rc;
  }
  const int rc = engine_.Update(bytes, count);
  if (rc != kOk) restart_ = true;
  return rc;
}

int HmacEngine::Final() {
  int rc = restart_ ? Start() : kOk;
  // Whatever happens below, the next Update begins a new MAC rather than continuing this one.
  restart_ = true;
  macValid_ = false;
  if (rc != kOk) return rc;
  rc = engine_.Final();
  if (rc != kOk) return rc;
  uint8_t inner[kMaxDigest];
  const int innerLength = engine_.digest().length();
  if (innerLength > kMaxDigest) return kErrHashAlgorithm;
  std::memcpy(inner, engine_.digest().data(), static_cast<size_t>(innerLength));
  rc = engine_.CopyFrom(outerState_);
  if (rc == kOk) rc = engine_.Update(inner, innerLength);
  if (rc == kOk) rc = engine_.Final();
  WipeBytes(inner, sizeof inner);
  macValid_ = rc == kOk;
  return rc;
}

int HmacEngine::Compute(const void* bytes, int64_t count, ByteString& out) {
  int rc = SetKey(hashId_, key_.data(), key_.length());
  if (rc == kOk) rc = Update(bytes, count);
  if (rc == kOk) rc = Final();
  if (rc == kOk) rc = out.Assign(mac());
  return rc;
}

bool HmacEngine::Verify(const void* tag, int tag_length) const {
  if (!macValid_ || tag == nullptr || tag_length < 1 || tag_length > mac().length()) return false;
  return MacEquals(tag, mac().data(), static_cast<size_t>(tag_length));
}

void HmacSha256Cbc::SetKey(const uint8_t* key, size_t n) {
  uint8_t pad[Sha256Context::kBlockSize] = {};
  if (n > sizeof pad) {
    Sha256Context digest;
    digest.Update(key, n);
    std::memcpy(pad, digest.Final(), Sha256Context::kDigestSize);
  } else if (n > 0) {
    std::memcpy(pad, key, n);
  }
  for (uint8_t& b : pad) b ^= kInnerByte;
  inner_.Init();
  inner_.Update(pad, sizeof pad);
  for (uint8_t& b : pad) b ^= kInnerByte ^ kOuterByte;
  outer_.Init();
  outer_.Update(pad, sizeof pad);
  WipeBytes(pad, sizeof pad);
  started_ = false;
}

void HmacSha256Cbc::Clear() {
  inner_.Init();
  outer_.Init();
  work_.Init();
  started_ = false;
}

void HmacSha256Cbc::Begin() {
  if (started_) return;
  work_ = inner_;
  started_ = true;
}

void HmacSha256Cbc::Update(const void* bytes, size_t count) {
  Begin();
  work_.Update(bytes, count);
}

void HmacSha256Cbc::UpdateBesideCbc(const void* bytes, size_t count, const AesContext& aes, const uint8_t* in,
                                    uint8_t* out, size_t blocks, uint8_t iv[16]) {
  Begin();
  work_.UpdateBesideCbc(bytes, count, aes, in, out, blocks, iv);
}

void HmacSha256Cbc::Final(uint8_t mac[kMacSize]) {
  Begin();
  uint8_t inner[Sha256Context::kDigestSize];
  std::memcpy(inner, work_.Final(), sizeof inner);
  work_ = outer_;
  work_.Update(inner, sizeof inner);
  std::memcpy(mac, work_.Final(), kMacSize);
  work_.Init();
  WipeBytes(inner, sizeof inner);
  started_ = false;
}

int HmacMd5(const ByteString& data, const ByteString& key, ByteString& out) {
  HmacEngine hmac;
  int rc = hmac.SetKey(kHashMd5, key.data(), key.length());
  if (rc == kOk) rc = hmac.Update(data.data(), data.length());
  if (rc == kOk) rc = hmac.Final();
  if (rc == kOk) rc = out.Assign(hmac.mac());
  return rc;
}

int HmacEncode(Stream& input, Stream& output, const char* key_text, int hash_id, int output_length) {
  if (key_text == nullptr) key_text = "";
  ByteString key;
  int rc = kOk;
  if (key_text[0] == '0' && (key_text[1] == 'x' || key_text[1] == 'X')) {
    const char* hex = key_text + 2;
    const size_t digits = std::strlen(hex);
    if (digits % 2 != 0) return kErrInvalidValue;
    for (size_t i = 0; i < digits && rc == kOk; i += 2) {
      const int b = HexPairToByte(hex + i);
      rc = b < 0 ? kErrInvalidValue : key.AppendByte(static_cast<uint8_t>(b));
    }
  } else {
    rc = key.SetText(key_text);
  }
  if (rc != kOk) {
    WipeString(key);
    return rc;
  }

  ByteString all;
  char line[kEncodeLineBytes + 1];
  for (;;) {
    const int n = input.ReadLine(line, kEncodeLineBytes);
    if (n <= 0 || input.error() != 0) break;
    rc = all.Append(line, n);
    if (rc != kOk) break;
  }
  if (rc == kOk && input.error() != 0) rc = input.error();

  HmacEngine hmac;
  if (rc == kOk) rc = hmac.SetKey(hash_id, key.data(), key.length());
  if (rc == kOk) rc = hmac.Update(all.data(), all.length());
  if (rc == kOk) rc = hmac.Final();
  WipeString(key);
  WipeString(all);
  if (rc != kOk) return rc;

  int n = hmac.mac().length();
  if (output_length >= 0 && output_length < n) n = output_length;
  if (n == 0) return kOk;
  return output.WriteText(hmac.mac().data(), n);
}

}  // namespace tw
