#include "crypto/symmetric/sha3.h"

#include <cstring>

#include "crypto/symmetric/digest_bits.h"

namespace tw {
namespace {

using digest::LoadLe64;
using digest::Rotl64;

struct VariantInfo {
  int rate;
  int outputBits;
  uint8_t domain;
};

constexpr VariantInfo kVariants[] = {
    {144, 224, 0x01}, {136, 256, 0x01}, {104, 384, 0x01}, {72, 512, 0x01}, {168, 256, 0x1f},
    {136, 512, 0x1f}, {144, 224, 0x06}, {136, 256, 0x06}, {104, 384, 0x06}, {72, 512, 0x06},
};

constexpr uint64_t kRoundConstants[24] = {
    0x0000000000000001, 0x0000000000008082, 0x800000000000808a, 0x8000000080008000, 0x000000000000808b,
    0x0000000080000001, 0x8000000080008081, 0x8000000000008009, 0x000000000000008a, 0x0000000000000088,
    0x0000000080008009, 0x000000008000000a, 0x000000008000808b, 0x800000000000008b, 0x8000000000008089,
    0x8000000000008003, 0x8000000000008002, 0x8000000000000080, 0x000000000000800a, 0x800000008000000a,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008};

// Rho offsets along the pi walk that starts at lane 1.
constexpr int kRho[24] = {1, 3, 6, 10, 15, 21, 28, 36, 45, 55, 2, 14, 27, 41, 56, 8, 25, 43, 62, 18, 39, 61, 20, 44};
constexpr int kPi[24] = {10, 7, 11, 17, 18, 3, 5, 16, 8, 21, 24, 4, 15, 23, 19, 13, 12, 2, 20, 14, 22, 9, 6, 1};

}  // namespace

void KeccakF1600(uint64_t* a) {
  for (int round = 0; round < 24; ++round) {
    uint64_t c[5];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) {
      const uint64_t d = c[(x + 4) % 5] ^ Rotl64(c[(x + 1) % 5], 1);
#pragma GCC unroll 5
      for (int y = 0; y < 25; y += 5) a[y + x] ^= d;
    }
    uint64_t t = a[1];
#pragma GCC unroll 24
    for (int i = 0; i < 24; ++i) {
      const int j = kPi[i];
      const uint64_t next = a[j];
      a[j] = Rotl64(t, kRho[i]);
      t = next;
    }
#pragma GCC unroll 5
    for (int y = 0; y < 25; y += 5) {
      const uint64_t r0 = a[y], r1 = a[y + 1], r2 = a[y + 2], r3 = a[y + 3], r4 = a[y + 4];
      a[y] = r0 ^ (~r1 & r2);
      a[y + 1] = r1 ^ (~r2 & r3);
      a[y + 2] = r2 ^ (~r3 & r4);
      a[y + 3] = r3 ^ (~r4 & r0);
      a[y + 4] = r4 ^ (~r0 & r1);
    }
    a[0] ^= kRoundConstants[round];
  }
}

Sha3::Sha3(Sha3Variant variant) : variant_(variant) {
  const VariantInfo& info = kVariants[static_cast<int>(variant)];
  rate_ = info.rate;
  outputBits_ = info.outputBits;
  domain_ = info.domain;
  Reset();
}

Sha3::~Sha3() {
  WipeBytes(output_.data(), static_cast<size_t>(output_.length()));
  WipeBytes(state_, sizeof state_);
  WipeBytes(buffer_, sizeof buffer_);
}

int Sha3::Reset() {
  std::memset(state_, 0, sizeof state_);
  std::memset(buffer_, 0, sizeof buffer_);
  used_ = 0;
  WipeBytes(output_.data(), static_cast<size_t>(output_.length()));
  output_.Reset();
  return 0;
}

void Sha3::CopyFrom(const Sha3& other) {
  if (this == &other) return;
  variant_ = other.variant_;
  rate_ = other.rate_;
  outputBits_ = other.outputBits_;
  domain_ = other.domain_;
  std::memcpy(state_, other.state_, sizeof state_);
  std::memcpy(buffer_, other.buffer_, sizeof buffer_);
  used_ = other.used_;
}

void Sha3::AbsorbBlocks(const uint8_t* p, size_t blocks) {
  const int lanes = rate_ / 8;
  for (; blocks > 0; --blocks, p += rate_) {
    for (int i = 0; i < lanes; ++i) state_[i] ^= LoadLe64(p + 8 * i);
    KeccakF1600(state_);
  }
}

void Sha3::Absorb(const void* bytes, size_t count) {
  if (bytes == nullptr || count == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  const size_t rate = static_cast<size_t>(rate_);
  size_t used = static_cast<size_t>(used_);
  if (used + count < rate) {
    std::memcpy(buffer_ + used, p, count);
    used_ = static_cast<int>(used + count);
    return;
  }
  if (used > 0) {
    const size_t take = rate - used;
    std::memcpy(buffer_ + used, p, take);
    AbsorbBlocks(buffer_, 1);
    p += take;
    count -= take;
  }
  AbsorbBlocks(p, count / rate);
  p += count / rate * rate;
  count %= rate;
  std::memcpy(buffer_, p, count);
  used_ = static_cast<int>(count);
}

int Sha3::Final() {
  std::memset(buffer_ + used_, 0, static_cast<size_t>(rate_ - used_));
  buffer_[used_] = domain_;
  buffer_[rate_ - 1] ^= 0x80;
  AbsorbBlocks(buffer_, 1);
  used_ = 0;

  int want = outputBits_ / 8;
  if (!extendable() && want > rate_) want = rate_;
  int rc = output_.Resize(want);
  if (rc != 0) return rc;
  uint8_t* out = output_.bytes();
  uint8_t block[kMaxRate];
  for (int done = 0; done < want;) {
    if (done > 0) KeccakF1600(state_);
    for (int i = 0; i < rate_ / 8; ++i) digest::StoreLe64(block + 8 * i, state_[i]);
    const int n = want - done < rate_ ? want - done : rate_;
    std::memcpy(out + done, block, static_cast<size_t>(n));
    done += n;
  }
  WipeBytes(block, sizeof block);
  WipeBytes(buffer_, sizeof buffer_);
  return 0;
}

}  // namespace tw
