#include "crypto/symmetric/md4.h"

#include <cstring>

#include "crypto/symmetric/digest_bits.h"
#include "foundation/byte_string.h"

namespace tw {
namespace {

using digest::LoadLe32;
using digest::Rotl32;

constexpr uint32_t kInit[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

#define MD4_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD4_G(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
#define MD4_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD4_STEP(f, k, a, b, c, d, x, s) a = Rotl32(a + f(b, c, d) + (x) + (k), s);
#define MD4_ROUND(f, k, i0, i1, i2, i3, s0, s1, s2, s3) \
  MD4_STEP(f, k, a, b, c, d, x[i0], s0)                 \
  MD4_STEP(f, k, d, a, b, c, x[i1], s1)                 \
  MD4_STEP(f, k, c, d, a, b, x[i2], s2)                 \
  MD4_STEP(f, k, b, c, d, a, x[i3], s3)

void Compress(uint32_t* state, const uint8_t* p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, p += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLe32(p + 4 * i);
    const uint32_t aa = a, bb = b, cc = c, dd = d;
    MD4_ROUND(MD4_F, 0u, 0, 1, 2, 3, 3, 7, 11, 19)
    MD4_ROUND(MD4_F, 0u, 4, 5, 6, 7, 3, 7, 11, 19)
    MD4_ROUND(MD4_F, 0u, 8, 9, 10, 11, 3, 7, 11, 19)
    MD4_ROUND(MD4_F, 0u, 12, 13, 14, 15, 3, 7, 11, 19)
    MD4_ROUND(MD4_G, 0x5a827999u, 0, 4, 8, 12, 3, 5, 9, 13)
    MD4_ROUND(MD4_G, 0x5a827999u, 1, 5, 9, 13, 3, 5, 9, 13)
    MD4_ROUND(MD4_G, 0x5a827999u, 2, 6, 10, 14, 3, 5, 9, 13)
    MD4_ROUND(MD4_G, 0x5a827999u, 3, 7, 11, 15, 3, 5, 9, 13)
    MD4_ROUND(MD4_H, 0x6ed9eba1u, 0, 8, 4, 12, 3, 9, 11, 15)
    MD4_ROUND(MD4_H, 0x6ed9eba1u, 2, 10, 6, 14, 3, 9, 11, 15)
    MD4_ROUND(MD4_H, 0x6ed9eba1u, 1, 9, 5, 13, 3, 9, 11, 15)
    MD4_ROUND(MD4_H, 0x6ed9eba1u, 3, 11, 7, 15, 3, 9, 11, 15)
    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef MD4_F
#undef MD4_G
#undef MD4_H
#undef MD4_STEP
#undef MD4_ROUND

}  // namespace

Md4Context::~Md4Context() { WipeBytes(this, sizeof *this); }

void Md4Context::Init() {
  std::memcpy(state_, kInit, sizeof state_);
  std::memset(buffer_, 0, sizeof buffer_);
  used_ = 0;
  bytes_ = 0;
  std::memset(digest_, 0, sizeof digest_);
  finished_ = false;
}

void Md4Context::Update(const void* bytes, size_t count) {
  if (finished_) Init();
  if (bytes == nullptr || count == 0) return;
  bytes_ += count;
  digest::BufferBlocks<kBlockSize>(buffer_, used_, static_cast<const uint8_t*>(bytes), count,
                                   [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
}

const uint8_t* Md4Context::Final() {
  if (finished_) return digest_;
  uint8_t length[8];
  digest::StoreLe64(length, bytes_ << 3);
  digest::BufferPadding<kBlockSize>(buffer_, used_, length,
                                    [this](const uint8_t* p, size_t n) { Compress(state_, p, n); });
  for (int i = 0; i < 4; ++i) digest::StoreLe32(digest_ + 4 * i, state_[i]);
  WipeBytes(state_, sizeof state_);
  WipeBytes(buffer_, sizeof buffer_);
  finished_ = true;
  return digest_;
}

}  // namespace tw
