#include "crypto/symmetric/sha3.h"

#include <cstring>

#include "crypto/symmetric/cpu_features.h"
#include "crypto/symmetric/digest_bits.h"

namespace tw {
namespace {

using digest::LoadLe64;

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

// A rotate that also takes 0, which rho needs for lane (0, 0).
inline uint64_t Rol(uint64_t x, int n) { return (x << n) | (x >> ((64 - n) & 63)); }

// Lane (x, y) is a<y><x>. One round reads lanes A and writes lanes E, so two rounds return the
// state to A without copies; everything stays in registers or the stack frame.
#define KECCAK_LANES(A)                                                                            \
  A##00, A##01, A##02, A##03, A##04, A##10, A##11, A##12, A##13, A##14, A##20, A##21, A##22, A##23, \
      A##24, A##30, A##31, A##32, A##33, A##34, A##40, A##41, A##42, A##43, A##44
// Row Y of E from the lanes that rho and pi bring there: lane (x_X, X) rotated by r_X.
#define KECCAK_ROW(A, E, Y, x0, r0, x1, r1, x2, r2, x3, r3, x4, r4) \
  b0 = Rol(A##0##x0 ^ d##x0, r0);                                    \
  b1 = Rol(A##1##x1 ^ d##x1, r1);                                    \
  b2 = Rol(A##2##x2 ^ d##x2, r2);                                    \
  b3 = Rol(A##3##x3 ^ d##x3, r3);                                    \
  b4 = Rol(A##4##x4 ^ d##x4, r4);                                    \
  E##Y##0 = b0 ^ (~b1 & b2);                                         \
  E##Y##1 = b1 ^ (~b2 & b3);                                         \
  E##Y##2 = b2 ^ (~b3 & b4);                                         \
  E##Y##3 = b3 ^ (~b4 & b0);                                         \
  E##Y##4 = b4 ^ (~b0 & b1);
#define KECCAK_COLUMN(A, x) c##x = A##0##x ^ A##1##x ^ A##2##x ^ A##3##x ^ A##4##x;
#define KECCAK_ROUND(A, E, rc)                            \
  KECCAK_COLUMN(A, 0)                                     \
  KECCAK_COLUMN(A, 1)                                     \
  KECCAK_COLUMN(A, 2)                                     \
  KECCAK_COLUMN(A, 3)                                     \
  KECCAK_COLUMN(A, 4)                                     \
  d0 = c4 ^ Rol(c1, 1);                                   \
  d1 = c0 ^ Rol(c2, 1);                                   \
  d2 = c1 ^ Rol(c3, 1);                                   \
  d3 = c2 ^ Rol(c4, 1);                                   \
  d4 = c3 ^ Rol(c0, 1);                                   \
  KECCAK_ROW(A, E, 0, 0, 0, 1, 44, 2, 43, 3, 21, 4, 14)   \
  E##00 ^= (rc);                                          \
  KECCAK_ROW(A, E, 1, 3, 28, 4, 20, 0, 3, 1, 45, 2, 61)   \
  KECCAK_ROW(A, E, 2, 1, 1, 2, 6, 3, 25, 4, 8, 0, 18)     \
  KECCAK_ROW(A, E, 3, 4, 27, 0, 36, 1, 10, 2, 15, 3, 56)  \
  KECCAK_ROW(A, E, 4, 2, 62, 3, 55, 4, 39, 0, 41, 1, 2)

// The 24 rounds, unrolled; the BMI form of it turns each ~x & y into one ANDN and the rotates
// into RORX.
__attribute__((always_inline)) inline void Permute(uint64_t* s) {
  uint64_t KECCAK_LANES(a);
  uint64_t KECCAK_LANES(e);
  uint64_t b0, b1, b2, b3, b4, c0, c1, c2, c3, c4, d0, d1, d2, d3, d4;
  a00 = s[0]; a01 = s[1]; a02 = s[2]; a03 = s[3]; a04 = s[4]; a10 = s[5]; a11 = s[6]; a12 = s[7];
  a13 = s[8]; a14 = s[9]; a20 = s[10]; a21 = s[11]; a22 = s[12]; a23 = s[13]; a24 = s[14];
  a30 = s[15]; a31 = s[16]; a32 = s[17]; a33 = s[18]; a34 = s[19]; a40 = s[20]; a41 = s[21];
  a42 = s[22]; a43 = s[23]; a44 = s[24];
  for (int round = 0; round < 24; round += 2) {
    KECCAK_ROUND(a, e, kRoundConstants[round])
    KECCAK_ROUND(e, a, kRoundConstants[round + 1])
  }
  s[0] = a00; s[1] = a01; s[2] = a02; s[3] = a03; s[4] = a04; s[5] = a10; s[6] = a11; s[7] = a12;
  s[8] = a13; s[9] = a14; s[10] = a20; s[11] = a21; s[12] = a22; s[13] = a23; s[14] = a24;
  s[15] = a30; s[16] = a31; s[17] = a32; s[18] = a33; s[19] = a34; s[20] = a40; s[21] = a41;
  s[22] = a42; s[23] = a43; s[24] = a44;
}

#undef KECCAK_LANES
#undef KECCAK_ROW
#undef KECCAK_COLUMN
#undef KECCAK_ROUND

void PermutePortable(uint64_t* lanes) { Permute(lanes); }

#if defined(__x86_64__)
__attribute__((target("bmi,bmi2"))) void PermuteBmi(uint64_t* lanes) { Permute(lanes); }
#endif

}  // namespace

void KeccakF1600(uint64_t* lanes) {
#if defined(__x86_64__)
  if (CpuHas(kCpuBmi2)) {
    PermuteBmi(lanes);
    return;
  }
#endif
  PermutePortable(lanes);
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
