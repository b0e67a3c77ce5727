#include "crypto/symmetric/twofish.h"

#include <array>
#include <cstring>

namespace tw {

namespace {

using cipher_detail::LoadLe32;
using cipher_detail::Rotl32;
using cipher_detail::Rotr32;
using cipher_detail::StoreLe32;

// The 4-bit permutations t0..t3 that define q0 and q1.
constexpr uint8_t kQt[2][4][16] = {
    {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
     {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
     {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
     {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
    {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
     {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
     {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
     {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}},
};

constexpr uint8_t kMds[4][4] = {
    {0x01, 0xEF, 0x5B, 0x5B}, {0x5B, 0xEF, 0xEF, 0x01}, {0xEF, 0x5B, 0x01, 0xEF}, {0xEF, 0x01, 0xEF, 0x5B}};

constexpr uint8_t kRs[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                               {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                               {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                               {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};

// Which q-box each byte position passes through: the stages for L3, L2, L1, L0, then the last.
constexpr uint8_t kQOrder[4][5] = {{1, 1, 0, 0, 1}, {0, 1, 1, 0, 0}, {0, 0, 0, 1, 1}, {1, 0, 1, 1, 0}};

constexpr uint8_t Ror4(uint8_t x) { return static_cast<uint8_t>(((x >> 1) | (x << 3)) & 0x0f); }

constexpr std::array<uint8_t, 256> MakeQ(int which) {
  std::array<uint8_t, 256> q{};
  const auto& t = kQt[which];
  for (int x = 0; x < 256; ++x) {
    uint8_t a0 = static_cast<uint8_t>(x >> 4), b0 = static_cast<uint8_t>(x & 15);
    uint8_t a1 = a0 ^ b0, b1 = static_cast<uint8_t>((a0 ^ Ror4(b0) ^ (a0 << 3)) & 15);
    uint8_t a2 = t[0][a1], b2 = t[1][b1];
    uint8_t a3 = a2 ^ b2, b3 = static_cast<uint8_t>((a2 ^ Ror4(b2) ^ (a2 << 3)) & 15);
    uint8_t a4 = t[2][a3], b4 = t[3][b3];
    q[x] = static_cast<uint8_t>((b4 << 4) | a4);
  }
  return q;
}
constexpr std::array<uint8_t, 256> kQ[2] = {MakeQ(0), MakeQ(1)};
static_assert(kQ[0][0] == 0xA9 && kQ[1][0] == 0x75);

constexpr uint8_t GfMul(uint8_t a, uint8_t b, unsigned poly) {
  unsigned p = 0, x = a;
  while (b) {
    if (b & 1) p ^= x;
    x <<= 1;
    if (x & 0x100) x ^= poly;
    b >>= 1;
  }
  return static_cast<uint8_t>(p);
}

// Column j of the MDS matrix times y, as a little-endian word.
constexpr uint32_t MdsColumn(int j, uint8_t y) {
  uint32_t w = 0;
  for (int i = 0; i < 4; ++i) w |= uint32_t{GfMul(kMds[i][j], y, 0x169)} << (8 * i);
  return w;
}

// Byte j of h: the q chain keyed by the k words of l (l[0] = L0 ... l[k-1]).
inline uint8_t QChain(int j, uint8_t y, const uint32_t* l, int k) {
  for (int stage = 4 - k; stage < 4; ++stage) {
    y = kQ[kQOrder[j][stage]][y] ^ static_cast<uint8_t>(l[3 - stage] >> (8 * j));
  }
  return kQ[kQOrder[j][4]][y];
}

uint32_t H(uint8_t x, const uint32_t* l, int k) {
  uint32_t w = 0;
  for (int j = 0; j < 4; ++j) w ^= MdsColumn(j, QChain(j, x, l, k));
  return w;
}

inline uint32_t G(const TwofishContext::Schedule& s, uint32_t x) {
  return s.s[0][x & 0xff] ^ s.s[1][(x >> 8) & 0xff] ^ s.s[2][(x >> 16) & 0xff] ^ s.s[3][x >> 24];
}

}  // namespace

int TwofishContext::SetKey(const uint8_t* key, int length, int, int) {
  if (!schedule_) return kErrOutOfMemory;
  if (length < 16 || length > 32) return kErrCipherKeyLength;
  uint8_t padded[32] = {};
  std::memcpy(padded, key, length);
  const int k = length <= 16 ? 2 : length <= 24 ? 3 : 4;
  uint32_t me[4] = {}, mo[4] = {}, sv[4] = {};
  for (int i = 0; i < k; ++i) {
    const uint8_t* m = padded + 8 * i;
    me[i] = LoadLe32(m);
    mo[i] = LoadLe32(m + 4);
    uint32_t v = 0;
    for (int r = 0; r < 4; ++r) {
      uint8_t acc = 0;
      for (int c = 0; c < 8; ++c) acc ^= GfMul(kRs[r][c], m[c], 0x14D);
      v |= uint32_t{acc} << (8 * r);
    }
    sv[k - 1 - i] = v;  // S is used in reverse order
  }
  Schedule& s = *schedule_;
  for (int i = 0; i < 20; ++i) {
    uint32_t a = H(static_cast<uint8_t>(2 * i), me, k);
    uint32_t b = Rotl32(H(static_cast<uint8_t>(2 * i + 1), mo, k), 8);
    s.k[2 * i] = a + b;
    s.k[2 * i + 1] = Rotl32(a + 2 * b, 9);
  }
  for (int j = 0; j < 4; ++j) {
    for (int x = 0; x < 256; ++x) s.s[j][x] = MdsColumn(j, QChain(j, static_cast<uint8_t>(x), sv, k));
  }
  s.has_key = 1;
  WipeBytes(padded, sizeof padded);
  WipeBytes(me, sizeof me);
  WipeBytes(mo, sizeof mo);
  WipeBytes(sv, sizeof sv);
  return kOk;
}

int TwofishContext::EncryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!schedule_) return kErrOutOfMemory;
  const Schedule& s = *schedule_;
  if (!s.has_key) return kErrCipherKeyLength;
  uint32_t x0 = LoadLe32(in) ^ s.k[0], x1 = LoadLe32(in + 4) ^ s.k[1];
  uint32_t x2 = LoadLe32(in + 8) ^ s.k[2], x3 = LoadLe32(in + 12) ^ s.k[3];
  for (int r = 0; r < 16; r += 2) {
    uint32_t t0 = G(s, x0), t1 = G(s, Rotl32(x1, 8));
    x2 = Rotr32(x2 ^ (t0 + t1 + s.k[2 * r + 8]), 1);
    x3 = Rotl32(x3, 1) ^ (t0 + 2 * t1 + s.k[2 * r + 9]);
    t0 = G(s, x2);
    t1 = G(s, Rotl32(x3, 8));
    x0 = Rotr32(x0 ^ (t0 + t1 + s.k[2 * r + 10]), 1);
    x1 = Rotl32(x1, 1) ^ (t0 + 2 * t1 + s.k[2 * r + 11]);
  }
  StoreLe32(out, x2 ^ s.k[4]);
  StoreLe32(out + 4, x3 ^ s.k[5]);
  StoreLe32(out + 8, x0 ^ s.k[6]);
  StoreLe32(out + 12, x1 ^ s.k[7]);
  return kOk;
}

int TwofishContext::DecryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!schedule_) return kErrOutOfMemory;
  const Schedule& s = *schedule_;
  if (!s.has_key) return kErrCipherKeyLength;
  uint32_t x2 = LoadLe32(in) ^ s.k[4], x3 = LoadLe32(in + 4) ^ s.k[5];
  uint32_t x0 = LoadLe32(in + 8) ^ s.k[6], x1 = LoadLe32(in + 12) ^ s.k[7];
  for (int r = 14; r >= 0; r -= 2) {
    uint32_t t0 = G(s, x2), t1 = G(s, Rotl32(x3, 8));
    x0 = Rotl32(x0, 1) ^ (t0 + t1 + s.k[2 * r + 10]);
    x1 = Rotr32(x1 ^ (t0 + 2 * t1 + s.k[2 * r + 11]), 1);
    t0 = G(s, x0);
    t1 = G(s, Rotl32(x1, 8));
    x2 = Rotl32(x2, 1) ^ (t0 + t1 + s.k[2 * r + 8]);
    x3 = Rotr32(x3 ^ (t0 + 2 * t1 + s.k[2 * r + 9]), 1);
  }
  StoreLe32(out, x0 ^ s.k[0]);
  StoreLe32(out + 4, x1 ^ s.k[1]);
  StoreLe32(out + 8, x2 ^ s.k[2]);
  StoreLe32(out + 12, x3 ^ s.k[3]);
  return kOk;
}

int TwofishContext::CopyFrom(const TwofishContext& other) { return schedule_.CopyFrom(other.schedule_); }

void TwofishContext::Clear() { schedule_.Wipe(); }

}  // namespace tw
