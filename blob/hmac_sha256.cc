#include "blob/hmac_sha256.h"

#include <cstring>

namespace tw {

namespace {
constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5c;
}  // namespace

HmacSha256::~HmacSha256() = default;  // the contexts wipe their own state

void HmacSha256::Init(const void* key, size_t n) {
  uint8_t block[kBlockSize] = {};
  if (n > static_cast<size_t>(kBlockSize)) {
    Sha256Context digest;
    digest.Update(key, n);
    std::memcpy(block, digest.Final(), Sha256Context::kDigestSize);
  } else if (n > 0) {
    std::memcpy(block, key, n);
  }
  uint8_t pad[kBlockSize];
  for (int i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ kInnerPad;
  inner_.Init();
  inner_.Update(pad, sizeof pad);
  for (int i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ kOuterPad;
  outer_.Init();
  outer_.Update(pad, sizeof pad);
  WipeBytes(pad, sizeof pad);
  WipeBytes(block, sizeof block);
}

void HmacSha256::Update(const void* bytes, size_t n) {
  if (n > 0) inner_.Update(bytes, n);
}

void HmacSha256::Final(uint8_t mac[kMacSize]) {
  uint8_t inner_digest[Sha256Context::kDigestSize];
  std::memcpy(inner_digest, inner_.Final(), sizeof inner_digest);
  outer_.Update(inner_digest, sizeof inner_digest);
  std::memcpy(mac, outer_.Final(), kMacSize);
  WipeBytes(inner_digest, sizeof inner_digest);
}

int HmacSha256Bytes(const ByteString& key, const void* text, int n, ByteString* out) {
  HmacSha256 mac(key.data(), static_cast<size_t>(key.length()));
  if (n > 0) mac.Update(text, static_cast<size_t>(n));
  uint8_t tag[HmacSha256::kMacSize];
  mac.Final(tag);
  const int rc = out->Set(tag, sizeof tag);
  WipeBytes(tag, sizeof tag);
  return rc;
}

int HmacSha256Bytes(const ByteString& key, const char* text, ByteString* out) {
  const int n = text ? static_cast<int>(std::strlen(text)) : 0;
  return HmacSha256Bytes(key, text, n, out);
}

}  // namespace tw
