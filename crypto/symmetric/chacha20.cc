#include "crypto/symmetric/chacha20.h"

#include <cstring>

#include "foundation/byte_ops.h"

namespace tw {

namespace {

using cipher_detail::LoadLe32;
using cipher_detail::Rotl32;
using cipher_detail::StoreLe32;

// "expand 32-byte k"
constexpr uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline void QuarterRound(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  a += b;
  d = Rotl32(d ^ a, 16);
  c += d;
  b = Rotl32(b ^ c, 12);
  a += b;
  d = Rotl32(d ^ a, 8);
  c += d;
  b = Rotl32(b ^ c, 7);
}

}  // namespace

void ChaCha20Block(const uint32_t input[16], uint8_t out[64]) {
  uint32_t x[16];
  std::memcpy(x, input, sizeof x);
  for (int i = 0; i < 10; ++i) {
    QuarterRound(x[0], x[4], x[8], x[12]);
    QuarterRound(x[1], x[5], x[9], x[13]);
    QuarterRound(x[2], x[6], x[10], x[14]);
    QuarterRound(x[3], x[7], x[11], x[15]);
    QuarterRound(x[0], x[5], x[10], x[15]);
    QuarterRound(x[1], x[6], x[11], x[12]);
    QuarterRound(x[2], x[7], x[8], x[13]);
    QuarterRound(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) StoreLe32(out + 4 * i, x[i] + input[i]);
  WipeBytes(x, sizeof x);
}

void ChaCha20Context::Clear() {
  WipeBytes(state_, sizeof state_);
  WipeBytes(block_, sizeof block_);
  counter_ = 0;
  used_ = 64;
  wide_counter_ = false;
  exhausted_ = false;
  ready_ = false;
}

int ChaCha20Context::Setup(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length,
                           uint64_t counter) {
  if (key_length != kKeyBytes) return kErrCipherKeyLength;
  if (nonce_length != 12 && nonce_length != 8) return kErrCipherNonceLength;
  // A 12-byte nonce leaves 32 bits for the counter; a larger start would be cut and repeat blocks.
  if (nonce_length == 12 && counter > 0xffffffffu) return kErrCipherCounterExhausted;
  Clear();
  for (int i = 0; i < 4; ++i) state_[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) state_[4 + i] = LoadLe32(key + 4 * i);
  if (nonce_length == 12) {
    for (int i = 0; i < 3; ++i) state_[13 + i] = LoadLe32(nonce + 4 * i);
  } else {
    state_[14] = LoadLe32(nonce);
    state_[15] = LoadLe32(nonce + 4);
  }
  wide_counter_ = nonce_length == 8;
  counter_ = counter;
  ready_ = true;
  return kOk;
}

uint64_t ChaCha20Context::BlocksLeft() const {
  if (exhausted_) return 0;
  if (!wide_counter_) return (uint64_t{1} << 32) - counter_;
  return counter_ == 0 ? UINT64_MAX : 0 - counter_;
}

void ChaCha20Context::NextBlock() {
  state_[12] = static_cast<uint32_t>(counter_);
  if (wide_counter_) state_[13] = static_cast<uint32_t>(counter_ >> 32);
  ChaCha20Block(state_, block_);
  used_ = 0;
  ++counter_;
  if (wide_counter_ ? counter_ == 0 : counter_ == (uint64_t{1} << 32)) exhausted_ = true;
}

int ChaCha20Context::Crypt(const uint8_t* in, size_t length, uint8_t* out) {
  if (!ready_) return kErrCipherKeyLength;
  size_t buffered = 64 - used_;
  if (length > buffered) {
    uint64_t needed = (length - buffered + 63) / 64;
    if (needed > BlocksLeft()) return kErrCipherCounterExhausted;
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

int ChaCha20Context::CopyFrom(const ChaCha20Context& other) {
  if (this != &other) {
    std::memcpy(state_, other.state_, sizeof state_);
    std::memcpy(block_, other.block_, sizeof block_);
    counter_ = other.counter_;
    initial_counter_ = other.initial_counter_;
    used_ = other.used_;
    wide_counter_ = other.wide_counter_;
    exhausted_ = other.exhausted_;
    ready_ = other.ready_;
  }
  return kOk;
}

}  // namespace tw
