#include "crypto/symmetric/rc4.h"

#include <cstring>

namespace tw {

int Rc4Context::SetKey(const uint8_t* key, int length) {
  if (length < 1 || length > 256) return kErrCipherKeyLength;
  for (int n = 0; n < 256; ++n) s_[n] = static_cast<uint8_t>(n);
  uint8_t j = 0;
  for (int n = 0; n < 256; ++n) {
    j = static_cast<uint8_t>(j + s_[n] + key[n % length]);
    uint8_t t = s_[n];
    s_[n] = s_[j];
    s_[j] = t;
  }
  i_ = j_ = 0;
  has_key_ = true;
  return kOk;
}

int Rc4Context::Crypt(const uint8_t* in, size_t length, uint8_t* out) {
  if (!has_key_) return kErrCipherKeyLength;
  uint8_t i = i_, j = j_;
  for (size_t n = 0; n < length; ++n) {
    i = static_cast<uint8_t>(i + 1);
    uint8_t si = s_[i];
    j = static_cast<uint8_t>(j + si);
    uint8_t sj = s_[j];
    s_[i] = sj;
    s_[j] = si;
    out[n] = in[n] ^ s_[static_cast<uint8_t>(si + sj)];
  }
  i_ = i;
  j_ = j;
  return kOk;
}

int Rc4Context::CopyFrom(const Rc4Context& other) {
  if (this != &other) {
    std::memcpy(s_, other.s_, sizeof s_);
    i_ = other.i_;
    j_ = other.j_;
    has_key_ = other.has_key_;
  }
  return kOk;
}

void Rc4Context::Clear() {
  WipeBytes(s_, sizeof s_);
  i_ = j_ = 0;
  has_key_ = false;
}

}  // namespace tw
