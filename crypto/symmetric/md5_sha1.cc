#include "crypto/symmetric/md5_sha1.h"

#include <cstring>

#include "foundation/byte_string.h"

namespace tw {

Md5Sha1Context::~Md5Sha1Context() { WipeBytes(digest_, sizeof digest_); }

void Md5Sha1Context::Init() {
  md5_.Init();
  sha1_.Init();
  std::memset(digest_, 0, sizeof digest_);
}

void Md5Sha1Context::Update(const void* bytes, size_t count) {
  md5_.Update(bytes, count);
  sha1_.Update(bytes, count);
}

const uint8_t* Md5Sha1Context::Final() {
  const uint8_t* sha1 = sha1_.Final();
  if (sha1 == nullptr) return nullptr;
  std::memcpy(digest_, md5_.Final(), Md5Context::kDigestSize);
  std::memcpy(digest_ + Md5Context::kDigestSize, sha1, Sha1Context::kDigestSize);
  return digest_;
}

}  // namespace tw
