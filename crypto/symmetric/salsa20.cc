#include "crypto/symmetric/salsa20.h"

#include <cstring>

#include "foundation/byte_ops.h"

namespace tw {

namespace {

using cipher_detail::LoadLe32;
using cipher_detail::Rotl32;
using cipher_detail::StoreLe32;

constexpr uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};  // "expand 32-byte k"
constexpr uint32_t kTau[4] = {0x61707865, 0x3120646e, 0x79622d36, 0x6b206574};    // "expand 16-byte k"

inline void QuarterRound(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  b ^= Rotl32(a + d, 7);
  c ^= Rotl32(b + a, 9);
  d ^= Rotl32(c + b, 13);
  a ^= Rotl32(d + c, 18);
}

void Permute(uint32_t* x, int rounds) {
  for (int i = 0; i < rounds; i += 2) {
    QuarterRound(x[0], x[4], x[8], x[12]);
    QuarterRound(x[5], x[9], x[13], x[1]);
    QuarterRound(x[10], x[14], x[2], x[6]);
    QuarterRound(x[15], x[3], x[7], x[11]);
    QuarterRound(x[0], x[1], x[2], x[3]);
    QuarterRound(x[5], x[6], x[7], x[4]);
    QuarterRound(x[10], x[11], x[8], x[9]);
    QuarterRound(x[15], x[12], x[13], x[14]);
  }
}

// Constants in words 0, 5, 10, 15; the key in 1..4 and 11..14.
void LoadKey(uint32_t* x, const uint8_t* key, int key_length) {
  const uint32_t* c = key_length == 32 ? kSigma : kTau;
  const uint8_t* second = key_length == 32 ? key + 16 : key;
  x[0] = c[0];
  x[5] = c[1];
  x[10] = c[2];
  x[15] = c[3];
  for (int i = 0; i < 4; ++i) {
    x[1 + i] = LoadLe32(key + 4 * i);
    x[11 + i] = LoadLe32(second + 4 * i);
  }
}

}  // namespace

void Salsa20Context::HSalsa20(const uint8_t key[32], const uint8_t in[16], uint8_t out[32]) {
  uint32_t x[16];
  LoadKey(x, key, 32);
  for (int i = 0; i < 4; ++i) x[6 + i] = LoadLe32(in + 4 * i);
  Permute(x, 20);
  constexpr int kPick[8] = {0, 5, 10, 15, 6, 7, 8, 9};
  for (int i = 0; i < 8; ++i) StoreLe32(out + 4 * i, x[kPick[i]]);
  WipeBytes(x, sizeof x);
}

void Salsa20Context::Clear() {
  WipeBytes(state_, sizeof state_);
  WipeBytes(block_, sizeof block_);
  counter_ = 0;
  used_ = 64;
  rounds_ = 20;
  variant_ = kXSalsa20Variant;
  exhausted_ = false;
  ready_ = false;
}

int Salsa20Context::SetRounds(int rounds) {
  if (rounds != 8 && rounds != 12 && rounds != 20) return kErrCipherRounds;
  rounds_ = rounds;
  return kOk;
}

int Salsa20Context::Setup(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length,
                          uint64_t counter, int variant) {
  const bool extended = variant == kXSalsa20Variant;
  if (extended ? key_length != 32 : (key_length != 16 && key_length != 32)) return kErrCipherKeyLength;
  if (nonce_length != (extended ? 24 : 8)) return kErrCipherNonceLength;
  WipeBytes(state_, sizeof state_);
  WipeBytes(block_, sizeof block_);
  if (extended) {
    uint8_t subkey[32];
    HSalsa20(key, nonce, subkey);
    LoadKey(state_, subkey, 32);
    WipeBytes(subkey, sizeof subkey);
    nonce += 16;
  } else {
    LoadKey(state_, key, key_length);
  }
  state_[6] = LoadLe32(nonce);
  state_[7] = LoadLe32(nonce + 4);
  variant_ = variant;
  counter_ = counter;
  used_ = 64;
  exhausted_ = false;
  ready_ = true;
  return kOk;
}

void Salsa20Context::NextBlock() {
  state_[8] = static_cast<uint32_t>(counter_);
  state_[9] = static_cast<uint32_t>(counter_ >> 32);
  uint32_t x[16];
  std::memcpy(x, state_, sizeof x);
  Permute(x, rounds_);
  for (int i = 0; i < 16; ++i) StoreLe32(block_ + 4 * i, x[i] + state_[i]);
  WipeBytes(x, sizeof x);
  used_ = 0;
  if (++counter_ == 0) exhausted_ = true;
}

int Salsa20Context::Crypt(const uint8_t* in, size_t length, uint8_t* out) {
  if (!ready_) return kErrCipherKeyLength;
  size_t buffered = 64 - used_;
  if (length > buffered) {
    uint64_t needed = (length - buffered + 63) / 64;
    uint64_t left = exhausted_ ? 0 : (counter_ == 0 ? UINT64_MAX : 0 - counter_);
    if (needed > left) return kErrCipherCounterExhausted;
  }
  size_t done = 0;
  while (done < length) {
    if (used_ == 64) NextBlock();
    size_t take = length - done < 64 - used_ ? length - done : 64 - used_;
    XorBytes(out + done, in + done, block_ + used_, take);
    used_ += static_cast<uint32_t>(take);
    done += take;
  }
  return kOk;
}

int Salsa20Context::CopyFrom(const Salsa20Context& other) {
  if (this != &other) {
    std::memcpy(state_, other.state_, sizeof state_);
    std::memcpy(block_, other.block_, sizeof block_);
    counter_ = other.counter_;
    used_ = other.used_;
    rounds_ = other.rounds_;
    variant_ = other.variant_;
    exhausted_ = other.exhausted_;
    ready_ = other.ready_;
  }
  return kOk;
}

}  // namespace tw
