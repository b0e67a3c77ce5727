#include "crypto/symmetric/tea.h"

#include <cstring>

namespace tw {

namespace {

using cipher_detail::LoadBe32;
using cipher_detail::StoreBe32;

constexpr uint32_t kDelta = 0x9E3779B9;

int LoadKey(const uint8_t* key, int length, uint32_t* k) {
  if (length != 16) return kErrCipherKeyLength;
  for (int i = 0; i < 4; ++i) k[i] = LoadBe32(key + 4 * i);
  return kOk;
}

inline uint32_t XteaPublished(uint32_t v, uint32_t sum, uint32_t key) {
  return (((v << 4) ^ (v >> 5)) + v) ^ (sum + key);
}
inline uint32_t XteaDefault(uint32_t v, uint32_t sum, uint32_t key) {
  return (key + sum) ^ ((v >> 5) + v) ^ (v << 4);
}

}  // namespace

// ---- TEA

int TeaContext::SetKey(const uint8_t* key, int length, int, int) {
  int rc = LoadKey(key, length, k_);
  has_key_ = rc == kOk;
  return rc;
}

int TeaContext::SetRounds(int cycles) {
  if (cycles < 1) return kErrCipherRounds;
  cycles_ = cycles;
  return kOk;
}

int TeaContext::EncryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!has_key_) return kErrCipherKeyLength;
  uint32_t v0 = LoadBe32(in), v1 = LoadBe32(in + 4), sum = 0;
  for (int i = 0; i < cycles_; ++i) {
    sum += kDelta;
    v0 += ((v1 << 4) + k_[0]) ^ (v1 + sum) ^ ((v1 >> 5) + k_[1]);
    v1 += ((v0 << 4) + k_[2]) ^ (v0 + sum) ^ ((v0 >> 5) + k_[3]);
  }
  StoreBe32(out, v0);
  StoreBe32(out + 4, v1);
  return kOk;
}

int TeaContext::DecryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!has_key_) return kErrCipherKeyLength;
  uint32_t v0 = LoadBe32(in), v1 = LoadBe32(in + 4);
  uint32_t sum = kDelta * static_cast<uint32_t>(cycles_);
  for (int i = 0; i < cycles_; ++i) {
    v1 -= ((v0 << 4) + k_[2]) ^ (v0 + sum) ^ ((v0 >> 5) + k_[3]);
    v0 -= ((v1 << 4) + k_[0]) ^ (v1 + sum) ^ ((v1 >> 5) + k_[1]);
    sum -= kDelta;
  }
  StoreBe32(out, v0);
  StoreBe32(out + 4, v1);
  return kOk;
}

int TeaContext::CopyFrom(const TeaContext& other) {
  if (this != &other) {
    std::memcpy(k_, other.k_, sizeof k_);
    cycles_ = other.cycles_;
    has_key_ = other.has_key_;
  }
  return kOk;
}

void TeaContext::Clear() {
  WipeBytes(k_, sizeof k_);
  has_key_ = false;
}

// ---- XTEA

int XteaContext::SetKey(const uint8_t* key, int length, int, int) {
  int rc = LoadKey(key, length, k_);
  has_key_ = rc == kOk;
  return rc;
}

int XteaContext::SetRounds(int cycles) {
  if (cycles < 1) return kErrCipherRounds;
  cycles_ = cycles;
  return kOk;
}

int XteaContext::EncryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!has_key_) return kErrCipherKeyLength;
  auto f = variant_ == 1 ? XteaPublished : XteaDefault;
  uint32_t v0 = LoadBe32(in), v1 = LoadBe32(in + 4), sum = 0;
  for (int i = 0; i < cycles_; ++i) {
    v0 += f(v1, sum, k_[sum & 3]);
    sum += kDelta;
    v1 += f(v0, sum, k_[(sum >> 11) & 3]);
  }
  StoreBe32(out, v0);
  StoreBe32(out + 4, v1);
  return kOk;
}

int XteaContext::DecryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!has_key_) return kErrCipherKeyLength;
  auto f = variant_ == 1 ? XteaPublished : XteaDefault;
  uint32_t v0 = LoadBe32(in), v1 = LoadBe32(in + 4);
  uint32_t sum = kDelta * static_cast<uint32_t>(cycles_);
  for (int i = 0; i < cycles_; ++i) {
    v1 -= f(v0, sum, k_[(sum >> 11) & 3]);
    sum -= kDelta;
    v0 -= f(v1, sum, k_[sum & 3]);
  }
  StoreBe32(out, v0);
  StoreBe32(out + 4, v1);
  return kOk;
}

int XteaContext::CopyFrom(const XteaContext& other) {
  if (this != &other) {
    std::memcpy(k_, other.k_, sizeof k_);
    cycles_ = other.cycles_;
    variant_ = other.variant_;
    has_key_ = other.has_key_;
  }
  return kOk;
}

void XteaContext::Clear() {
  WipeBytes(k_, sizeof k_);
  has_key_ = false;
}

// ---- XXTEA
//
// The words are read and written in place in the output buffer, so a block of any size needs no
// allocation.

namespace {

inline uint32_t Mx(uint32_t y, uint32_t z, uint32_t sum, uint32_t key) {
  return (((z >> 5) ^ (y << 2)) + ((y >> 3) ^ (z << 4))) ^ ((sum ^ y) + (key ^ z));
}

}  // namespace

int XxteaContext::SetKey(const uint8_t* key, int length, int, int) {
  int rc = LoadKey(key, length, k_);
  has_key_ = rc == kOk;
  return rc;
}

int XxteaContext::EncryptBlock(const uint8_t* in, uint8_t* out, size_t length) const {
  if (!has_key_) return kErrCipherKeyLength;
  if (length < 8 || length % 4 != 0) return kErrCipherBlockLength;
  if (in != out) std::memmove(out, in, length);
  const size_t n = length / 4;
  auto word = [out](size_t i) { return LoadBe32(out + 4 * i); };
  auto store = [out](size_t i, uint32_t v) { StoreBe32(out + 4 * i, v); };
  uint32_t rounds = 6 + static_cast<uint32_t>(52 / n), sum = 0, z = word(n - 1);
  while (rounds-- > 0) {
    sum += kDelta;
    uint32_t e = (sum >> 2) & 3;
    for (size_t p = 0; p < n; ++p) {
      uint32_t y = word(p + 1 < n ? p + 1 : 0);
      z = word(p) + Mx(y, z, sum, k_[(p & 3) ^ e]);
      store(p, z);
    }
  }
  return kOk;
}

int XxteaContext::DecryptBlock(const uint8_t* in, uint8_t* out, size_t length) const {
  if (!has_key_) return kErrCipherKeyLength;
  if (length < 8 || length % 4 != 0) return kErrCipherBlockLength;
  if (in != out) std::memmove(out, in, length);
  const size_t n = length / 4;
  auto word = [out](size_t i) { return LoadBe32(out + 4 * i); };
  auto store = [out](size_t i, uint32_t v) { StoreBe32(out + 4 * i, v); };
  uint32_t rounds = 6 + static_cast<uint32_t>(52 / n);
  uint32_t sum = rounds * kDelta, y = word(0);
  while (rounds-- > 0) {
    uint32_t e = (sum >> 2) & 3;
    for (size_t p = n; p-- > 0;) {
      uint32_t z = word(p > 0 ? p - 1 : n - 1);
      y = word(p) - Mx(y, z, sum, k_[(p & 3) ^ e]);
      store(p, y);
    }
    sum -= kDelta;
  }
  return kOk;
}

int XxteaContext::CopyFrom(const XxteaContext& other) {
  if (this != &other) {
    std::memcpy(k_, other.k_, sizeof k_);
    has_key_ = other.has_key_;
  }
  return kOk;
}

void XxteaContext::Clear() {
  WipeBytes(k_, sizeof k_);
  has_key_ = false;
}

}  // namespace tw
