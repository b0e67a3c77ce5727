#include "crypto/symmetric/des.h"

#include <array>
#include <cstring>

#include "crypto/symmetric/des_tables.h"

namespace tw {

namespace {

using cipher_detail::LoadBe32;
using cipher_detail::Rotl32;
using cipher_detail::Rotr32;
using cipher_detail::StoreBe32;

using des_tables::kP;
using des_tables::kPc1;
using des_tables::kPc2;
using des_tables::kSboxes;
using des_tables::kShifts;

// Picks bits of the low `width` bits of x by a 1-based table.
constexpr uint64_t PermuteBits(uint64_t x, int width, const uint8_t* table, int count) {
  uint64_t out = 0;
  for (int i = 0; i < count; ++i) out = (out << 1) | ((x >> (width - table[i])) & 1);
  return out;
}

// S-box i followed by P, indexed by the raw 6 input bits, rotated left by one bit because the
// block halves are kept rotated that way between the rounds.
using SpTables = std::array<std::array<uint32_t, 64>, 8>;
constexpr SpTables MakeSp() {
  SpTables sp{};
  for (int i = 0; i < 8; ++i) {
    for (int x = 0; x < 64; ++x) {
      int row = ((x >> 4) & 2) | (x & 1);
      int col = (x >> 1) & 15;
      uint64_t s = uint64_t{kSboxes[i][row][col]} << (28 - 4 * i);
      sp[i][x] = Rotl32(static_cast<uint32_t>(PermuteBits(s, 32, kP, 32)), 1);
    }
  }
  return sp;
}
constexpr SpTables kSp = MakeSp();
static_assert(kSp[0][0] == 0x01010400);

inline uint32_t Feistel(uint32_t r, const uint32_t* k) {
  uint32_t w = Rotr32(r, 4) ^ k[0];
  uint32_t f =
      kSp[6][w & 0x3f] | kSp[4][(w >> 8) & 0x3f] | kSp[2][(w >> 16) & 0x3f] | kSp[0][(w >> 24) & 0x3f];
  w = r ^ k[1];
  f |= kSp[7][w & 0x3f] | kSp[5][(w >> 8) & 0x3f] | kSp[3][(w >> 16) & 0x3f] | kSp[1][(w >> 24) & 0x3f];
  return f;
}

// The initial permutation as a sequence of bit-group swaps, leaving both halves rotated left by 1.
inline void InitialPermutation(const uint8_t* in, uint32_t& a, uint32_t& b) {
  uint32_t l = LoadBe32(in), r = LoadBe32(in + 4), w;
  w = ((l >> 4) ^ r) & 0x0f0f0f0f;
  r ^= w;
  l ^= w << 4;
  w = ((l >> 16) ^ r) & 0x0000ffff;
  r ^= w;
  l ^= w << 16;
  w = ((r >> 2) ^ l) & 0x33333333;
  l ^= w;
  r ^= w << 2;
  w = ((r >> 8) ^ l) & 0x00ff00ff;
  l ^= w;
  r ^= w << 8;
  r = Rotl32(r, 1);
  w = (l ^ r) & 0xaaaaaaaa;
  l ^= w;
  r ^= w;
  l = Rotl32(l, 1);
  a = l;
  b = r;
}

// The inverse of the above, applied to the pre-output halves (R16, L16).
inline void FinalPermutation(uint32_t a, uint32_t b, uint8_t* out) {
  uint32_t w;
  a = Rotr32(a, 1);
  w = (a ^ b) & 0xaaaaaaaa;
  a ^= w;
  b ^= w;
  b = Rotr32(b, 1);
  w = ((b >> 8) ^ a) & 0x00ff00ff;
  a ^= w;
  b ^= w << 8;
  w = ((b >> 2) ^ a) & 0x33333333;
  a ^= w;
  b ^= w << 2;
  w = ((a >> 16) ^ b) & 0x0000ffff;
  b ^= w;
  a ^= w << 16;
  w = ((a >> 4) ^ b) & 0x0f0f0f0f;
  b ^= w;
  a ^= w << 4;
  StoreBe32(out, a);
  StoreBe32(out + 4, b);
}

// Sixteen rounds; the halves come back as the pre-output (R16, L16), which is also the input of
// a following DES once its IP and the previous FP cancel.
inline void Rounds(uint32_t& a, uint32_t& b, const uint32_t* keys, bool reverse) {
  uint32_t l = a, r = b;
  for (int i = 0; i < 16; i += 2) {
    const uint32_t* k1 = reverse ? keys + 2 * (15 - i) : keys + 2 * i;
    const uint32_t* k2 = reverse ? keys + 2 * (14 - i) : keys + 2 * (i + 1);
    l ^= Feistel(r, k1);
    r ^= Feistel(l, k2);
  }
  a = r;
  b = l;
}

void BuildSchedule(const uint8_t* key, uint32_t* keys) {
  uint64_t k = (uint64_t{LoadBe32(key)} << 32) | LoadBe32(key + 4);
  uint64_t cd = PermuteBits(k, 64, kPc1, 56);
  uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0fffffff;
  uint32_t d = static_cast<uint32_t>(cd) & 0x0fffffff;
  for (int i = 0; i < 16; ++i) {
    int s = kShifts[i];
    c = ((c << s) | (c >> (28 - s))) & 0x0fffffff;
    d = ((d << s) | (d >> (28 - s))) & 0x0fffffff;
    uint64_t sub = PermuteBits((uint64_t{c} << 28) | d, 56, kPc2, 48);
    uint32_t g[8];
    for (int j = 0; j < 8; ++j) g[j] = static_cast<uint32_t>(sub >> (42 - 6 * j)) & 0x3f;
    keys[2 * i] = (g[0] << 24) | (g[2] << 16) | (g[4] << 8) | g[6];
    keys[2 * i + 1] = (g[1] << 24) | (g[3] << 16) | (g[5] << 8) | g[7];
    WipeBytes(g, sizeof g);
  }
}

}  // namespace

// ---- DesContext

int DesContext::SetKey(const uint8_t* key, int length, int, int) {
  if (length != 8) return kErrCipherKeyLength;
  BuildSchedule(key, keys_);
  has_key_ = true;
  return kOk;
}

int DesContext::EncryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!has_key_) return kErrCipherKeyLength;
  uint32_t a, b;
  InitialPermutation(in, a, b);
  Rounds(a, b, keys_, false);
  FinalPermutation(a, b, out);
  return kOk;
}

int DesContext::DecryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!has_key_) return kErrCipherKeyLength;
  uint32_t a, b;
  InitialPermutation(in, a, b);
  Rounds(a, b, keys_, true);
  FinalPermutation(a, b, out);
  return kOk;
}

int DesContext::CopyFrom(const DesContext& other) {
  if (this != &other) {
    std::memcpy(keys_, other.keys_, sizeof keys_);
    has_key_ = other.has_key_;
  }
  return kOk;
}

void DesContext::Clear() {
  WipeBytes(keys_, sizeof keys_);
  has_key_ = false;
}

// ---- TripleDesContext

int TripleDesContext::SetKey(const uint8_t* key, int length, int, int) {
  if (length != 16 && length != 24) return kErrCipherKeyLength;
  BuildSchedule(key, keys_[0]);
  BuildSchedule(key + 8, keys_[1]);
  BuildSchedule(length == 24 ? key + 16 : key, keys_[2]);
  has_key_ = true;
  return kOk;
}

int TripleDesContext::EncryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!has_key_) return kErrCipherKeyLength;
  uint32_t a, b;
  InitialPermutation(in, a, b);
  Rounds(a, b, keys_[0], false);
  Rounds(a, b, keys_[1], true);
  Rounds(a, b, keys_[2], false);
  FinalPermutation(a, b, out);
  return kOk;
}

int TripleDesContext::DecryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!has_key_) return kErrCipherKeyLength;
  uint32_t a, b;
  InitialPermutation(in, a, b);
  Rounds(a, b, keys_[2], true);
  Rounds(a, b, keys_[1], false);
  Rounds(a, b, keys_[0], true);
  FinalPermutation(a, b, out);
  return kOk;
}

int TripleDesContext::CopyFrom(const TripleDesContext& other) {
  if (this != &other) {
    std::memcpy(keys_, other.keys_, sizeof keys_);
    has_key_ = other.has_key_;
  }
  return kOk;
}

void TripleDesContext::Clear() {
  WipeBytes(keys_, sizeof keys_);
  has_key_ = false;
}

}  // namespace tw
