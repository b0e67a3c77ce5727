#include "crypto/symmetric/idea.h"

#include <cstring>

namespace tw {

namespace {

// a * b mod 65537, with 0 standing for 65536.
inline uint16_t Mul(uint32_t a, uint32_t b) {
  if (a == 0) return static_cast<uint16_t>(65537 - b);
  if (b == 0) return static_cast<uint16_t>(65537 - a);
  uint32_t p = a * b;
  uint32_t lo = p & 0xffff, hi = p >> 16;
  return static_cast<uint16_t>(lo - hi + (lo < hi ? 1 : 0));
}

// Multiplicative inverse modulo 65537 (0 and 1 are their own inverses).
uint16_t MulInverse(uint16_t x) {
  if (x <= 1) return x;
  // x^(65537 - 2) by square-and-multiply.
  uint64_t result = 1, base = x, e = 65535;
  while (e) {
    if (e & 1) result = (result * base) % 65537;
    base = (base * base) % 65537;
    e >>= 1;
  }
  return static_cast<uint16_t>(result);
}

inline uint16_t AddInverse(uint16_t x) { return static_cast<uint16_t>(0u - x); }

void Crypt(const uint16_t* k, const uint8_t* in, uint8_t* out) {
  uint32_t x1 = (in[0] << 8) | in[1], x2 = (in[2] << 8) | in[3];
  uint32_t x3 = (in[4] << 8) | in[5], x4 = (in[6] << 8) | in[7];
  for (int r = 0; r < 8; ++r, k += 6) {
    x1 = Mul(x1, k[0]);
    x2 = (x2 + k[1]) & 0xffff;
    x3 = (x3 + k[2]) & 0xffff;
    x4 = Mul(x4, k[3]);
    uint32_t t0 = Mul(x1 ^ x3, k[4]);
    uint32_t t1 = Mul((t0 + (x2 ^ x4)) & 0xffff, k[5]);
    t0 = (t0 + t1) & 0xffff;
    x1 ^= t1;
    x4 ^= t0;
    uint32_t swap = x2 ^ t0;
    x2 = x3 ^ t1;
    x3 = swap;
  }
  uint32_t y1 = Mul(x1, k[0]), y2 = (x3 + k[1]) & 0xffff, y3 = (x2 + k[2]) & 0xffff, y4 = Mul(x4, k[3]);
  out[0] = static_cast<uint8_t>(y1 >> 8);
  out[1] = static_cast<uint8_t>(y1);
  out[2] = static_cast<uint8_t>(y2 >> 8);
  out[3] = static_cast<uint8_t>(y2);
  out[4] = static_cast<uint8_t>(y3 >> 8);
  out[5] = static_cast<uint8_t>(y3);
  out[6] = static_cast<uint8_t>(y4 >> 8);
  out[7] = static_cast<uint8_t>(y4);
}

}  // namespace

int IdeaContext::SetKey(const uint8_t* key, int length, int encrypting, int mode) {
  if (length != 16) return kErrCipherKeyLength;
  // The 128-bit key rotated left by 25 bits after every eight subkeys.
  uint16_t k[8];
  for (int i = 0; i < 8; ++i) k[i] = static_cast<uint16_t>((key[2 * i] << 8) | key[2 * i + 1]);
  for (int i = 0; i < 52; ++i) {
    if (i > 0 && i % 8 == 0) {
      uint16_t r[8];
      for (int j = 0; j < 8; ++j) {
        r[j] = static_cast<uint16_t>((k[(j + 1) % 8] << 9) | (k[(j + 2) % 8] >> 7));
      }
      std::memcpy(k, r, sizeof k);
      WipeBytes(r, sizeof r);
    }
    enc_[i] = k[i % 8];
  }
  WipeBytes(k, sizeof k);
  has_key_ = true;
  has_dec_ = false;
  if (UsesInverseCipher(encrypting, mode)) BuildInverse();
  return kOk;
}

void IdeaContext::BuildInverse() {
  // Decryption round r uses the inverses of encryption round 8 - r; the two additive keys trade
  // places in every round but the first and the last.
  for (int r = 0; r <= 8; ++r) {
    const uint16_t* e = enc_ + 6 * (8 - r);
    uint16_t* d = dec_ + 6 * r;
    bool outer = r == 0 || r == 8;
    d[0] = MulInverse(e[0]);
    d[1] = AddInverse(outer ? e[1] : e[2]);
    d[2] = AddInverse(outer ? e[2] : e[1]);
    d[3] = MulInverse(e[3]);
    if (r < 8) {
      d[4] = enc_[6 * (7 - r) + 4];
      d[5] = enc_[6 * (7 - r) + 5];
    }
  }
  has_dec_ = true;
}

int IdeaContext::EncryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!has_key_) return kErrCipherKeyLength;
  Crypt(enc_, in, out);
  return kOk;
}

int IdeaContext::DecryptBlock(const uint8_t* in, uint8_t* out) {
  if (!has_key_) return kErrCipherKeyLength;
  if (!has_dec_) BuildInverse();
  Crypt(dec_, in, out);
  return kOk;
}

int IdeaContext::CopyFrom(const IdeaContext& other) {
  if (this != &other) {
    std::memcpy(enc_, other.enc_, sizeof enc_);
    std::memcpy(dec_, other.dec_, sizeof dec_);
    has_key_ = other.has_key_;
    has_dec_ = other.has_dec_;
  }
  return kOk;
}

void IdeaContext::Clear() {
  WipeBytes(enc_, sizeof enc_);
  WipeBytes(dec_, sizeof dec_);
  has_key_ = has_dec_ = false;
}

}  // namespace tw
