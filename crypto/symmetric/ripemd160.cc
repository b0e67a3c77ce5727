#include "crypto/symmetric/ripemd160.h"

#include <cstring>

#include "crypto/symmetric/digest_bits.h"
#include "foundation/byte_string.h"

namespace tw {
namespace {

using digest::LoadLe32;
using digest::Rotl32;

constexpr uint32_t kInit[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

// Message word order and rotations of the left and right lines, five rounds of sixteen steps.
constexpr uint8_t kRL[80] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 7,  4,  13, 1,
                             10, 6,  15, 3,  12, 0,  9,  5,  2,  14, 11, 8,  3,  10, 14, 4,  9,  15, 8,  1,
                             2,  7,  0,  6,  13, 11, 5,  12, 1,  9,  11, 10, 0,  8,  12, 4,  13, 3,  7,  15,
                             14, 5,  6,  2,  4,  0,  5,  9,  7,  12, 2,  10, 14, 1,  3,  8,  11, 6,  15, 13};
constexpr uint8_t kRR[80] = {5,  14, 7,  0,  9,  2,  11, 4,  13, 6,  15, 8,  1,  10, 3,  12, 6,  11, 3,  7,
                             0,  13, 5,  10, 14, 15, 8,  12, 4,  9,  1,  2,  15, 5,  1,  3,  7,  14, 6,  9,
                             11, 8,  12, 2,  10, 0,  4,  13, 8,  6,  4,  1,  3,  11, 15, 0,  5,  12, 2,  13,
                             9,  7,  10, 14, 12, 15, 10, 4,  1,  5,  8,  7,  6,  2,  13, 14, 0,  3,  9,  11};
constexpr uint8_t kSL[80] = {11, 14, 15, 12, 5,  8,  7,  9,  11, 13, 14, 15, 6,  7,  9,  8,  7,  6,  8,  13,
                             11, 9,  7,  15, 7,  12, 15, 9,  11, 7,  13, 12, 11, 13, 6,  7,  14, 9,  13, 15,
                             14, 8,  13, 6,  5,  12, 7,  5,  11, 12, 14, 15, 14, 15, 9,  8,  9,  14, 5,  6,
                             8,  6,  5,  12, 9,  15, 5,  11, 6,  8,  13, 12, 5,  12, 13, 14, 11, 8,  5,  6};
constexpr uint8_t kSR[80] = {8,  9,  9,  11, 13, 15, 15, 5,  7,  7,  8,  11, 14, 14, 12, 6,  9,  13, 15, 7,
                             12, 8,  9,  11, 7,  7,  12, 7,  6,  15, 13, 11, 9,  7,  15, 11, 8,  6,  6,  14,
                             12, 13, 5,  14, 13, 13, 7,  5,  15, 5,  8,  11, 14, 14, 6,  14, 6,  9,  12, 9,
                             12, 5,  15, 8,  8,  5,  12, 9,  12, 5,  14, 6,  8,  13, 6,  5,  15, 13, 11, 11};
constexpr uint32_t kKL[5] = {0x00000000, 0x5a827999, 0x6ed9eba1, 0x8f1bbcdc, 0xa953fd4e};
constexpr uint32_t kKR[5] = {0x50a28be6, 0x5c4dd124, 0x6d703ef3, 0x7a6d76e9, 0x00000000};

inline uint32_t F(int round, uint32_t x, uint32_t y, uint32_t z) {
  switch (round) {
    case 0: return x ^ y ^ z;
    case 1: return (x & y) | (~x & z);
    case 2: return (x | ~y) ^ z;
    case 3: return (x & z) | (y & ~z);
    default: return x ^ (y | ~z);
  }
}

void Compress(uint32_t* h, const uint8_t* p, size_t blocks) {
  for (; blocks > 0; --blocks, p += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLe32(p + 4 * i);
    uint32_t al = h[0], bl = h[1], cl = h[2], dl = h[3], el = h[4];
    uint32_t ar = al, br = bl, cr = cl, dr = dl, er = el;
    for (int j = 0; j < 80; ++j) {
      const int round = j >> 4;
      uint32_t t = Rotl32(al + F(round, bl, cl, dl) + x[kRL[j]] + kKL[round], kSL[j]) + el;
      al = el;
      el = dl;
      dl = Rotl32(cl, 10);
      cl = bl;
      bl = t;
      t = Rotl32(ar + F(4 - round, br, cr, dr) + x[kRR[j]] + kKR[round], kSR[j]) + er;
      ar = er;
      er = dr;
      dr = Rotl32(cr, 10);
      cr = br;
      br = t;
    }
    const uint32_t t = h[1] + cl + dr;
    h[1] = h[2] + dl + er;
    h[2] = h[3] + el + ar;
    h[3] = h[4] + al + br;
    h[4] = h[0] + bl + cr;
    h[0] = t;
  }
}

}  // namespace

Ripemd160Context::~Ripemd160Context() { WipeBytes(this, sizeof *this); }

void Ripemd160Context::Init() {
  bytes_ = 0;
  used_ = 0;
  std::memset(buffer_, 0, sizeof buffer_);
  std::memcpy(state_, kInit, sizeof state_);
  std::memset(digest_, 0, sizeof digest_);
  finished_ = false;
}

void Ripemd160Context::Update(const void* bytes, size_t count) {
  if (finished_) Init();
  if (bytes == nullptr || count == 0) return;
  bytes_ += count;
  digest::BufferBlocks<kBlockSize>(buffer_, used_, static_cast<const uint8_t*>(bytes), count,
                                   [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
}

const uint8_t* Ripemd160Context::Final() {
  if (finished_) return digest_;
  uint8_t length[8];
  digest::StoreLe64(length, bytes_ << 3);
  digest::BufferPadding<kBlockSize>(buffer_, used_, length,
                                    [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
  for (int i = 0; i < 5; ++i) digest::StoreLe32(digest_ + 4 * i, state_[i]);
  WipeBytes(state_, sizeof state_);
  WipeBytes(buffer_, sizeof buffer_);
  finished_ = true;
  return digest_;
}

}  // namespace tw
