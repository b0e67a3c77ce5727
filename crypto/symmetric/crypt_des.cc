#include "crypto/symmetric/crypt_des.h"

#include <cstring>

#include "crypto/symmetric/des_tables.h"

namespace tw {

namespace {

using des_tables::kExpansion;
using des_tables::kIp;
using des_tables::kP;
using des_tables::kPc1;
using des_tables::kPc2;
using des_tables::kSboxes;
using des_tables::kShifts;

constexpr char kCryptAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

struct Tables {
  CryptDes::NibblePermutation ip, fp, pc1, pc2, expansion;
  uint32_t sp[8][64];
  int8_t char_value[128];
};

// Output bit j (from the top of 64) takes input bit perm[j]; inputs and outputs are aligned to
// the top of a 64-bit word.
void BuildPermutation(const uint8_t* perm, int count, CryptDes::NibblePermutation& t) {
  std::memset(&t, 0, sizeof t);
  for (int j = 0; j < count; ++j) {
    int in_bit = perm[j] - 1;
    int group = in_bit / 4;
    int mask = 8 >> (in_bit % 4);
    for (int v = 0; v < 16; ++v) {
      if (v & mask) t.bits[group][v] |= uint64_t{1} << (63 - j);
    }
  }
}

uint64_t PermuteWord(uint64_t in, const CryptDes::NibblePermutation& t) {
  uint64_t out = 0;
  for (int group = 0; group < 16; ++group) out |= t.bits[group][(in >> (60 - 4 * group)) & 15];
  return out;
}

Tables BuildTables() {
  Tables t{};
  uint8_t fp[64];
  for (int i = 0; i < 64; ++i) fp[kIp[i] - 1] = static_cast<uint8_t>(i + 1);
  BuildPermutation(kIp, 64, t.ip);
  BuildPermutation(fp, 64, t.fp);
  BuildPermutation(kPc1, 56, t.pc1);
  BuildPermutation(kPc2, 48, t.pc2);
  BuildPermutation(kExpansion, 48, t.expansion);
  // S-box i then P, indexed by the six raw input bits; P output in the low 32 bits.
  for (int i = 0; i < 8; ++i) {
    for (int x = 0; x < 64; ++x) {
      int row = ((x >> 4) & 2) | (x & 1), col = (x >> 1) & 15;
      uint32_t s = uint32_t{kSboxes[i][row][col]} << (28 - 4 * i);
      uint32_t p = 0;
      for (int j = 0; j < 32; ++j) p = (p << 1) | ((s >> (32 - kP[j])) & 1);
      t.sp[i][x] = p;
    }
  }
  std::memset(t.char_value, 0, sizeof t.char_value);
  for (int i = 0; i < 64; ++i) t.char_value[static_cast<uint8_t>(kCryptAlphabet[i])] = static_cast<int8_t>(i);
  return t;
}

const Tables& GetTables() {
  static const Tables tables = BuildTables();
  return tables;
}

uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

void Store64(uint8_t* p, uint64_t v) {
  for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

}  // namespace

void CryptDes::InitTables() { GetTables(); }

const CryptDes::NibblePermutation& CryptDes::InitialPermutationTable() { return GetTables().ip; }

void CryptDes::Permute(const uint8_t in[8], uint8_t out[8], const NibblePermutation& table) {
  Store64(out, PermuteWord(Load64(in), table));
}

int CryptDes::SetKey(const uint8_t key[8]) {
  const Tables& t = GetTables();
  uint64_t cd = PermuteWord(Load64(key), t.pc1) >> 8;  // 56 bits
  uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0fffffff;
  uint32_t d = static_cast<uint32_t>(cd) & 0x0fffffff;
  for (int i = 0; i < 16; ++i) {
    int s = kShifts[i];
    c = ((c << s) | (c >> (28 - s))) & 0x0fffffff;
    d = ((d << s) | (d >> (28 - s))) & 0x0fffffff;
    uint64_t joined = ((uint64_t{c} << 28) | d) << 8;
    keys_[i] = PermuteWord(joined, t.pc2) >> 16;  // 48 bits
  }
  has_key_ = true;
  return kOk;
}

int CryptDes::Cipher(const uint8_t in[8], uint8_t out[8], uint32_t salt, int count) const {
  if (!has_key_) return kErrCipherKeyLength;
  const Tables& t = GetTables();
  uint32_t salt_bits = 0;
  for (int i = 0; i < 24; ++i) {
    if (salt & (uint32_t{1} << i)) salt_bits |= uint32_t{0x800000} >> i;
  }
  const bool decrypt = count < 0;
  const long passes = decrypt ? -static_cast<long>(count) : count;
  uint64_t x = PermuteWord(Load64(in), t.ip);
  uint32_t l = static_cast<uint32_t>(x >> 32), r = static_cast<uint32_t>(x);
  for (long pass = 0; pass < passes; ++pass) {
    for (int i = 0; i < 16; ++i) {
      uint64_t e = PermuteWord(uint64_t{r} << 32, t.expansion) >> 16;
      uint32_t el = static_cast<uint32_t>(e >> 24), er = static_cast<uint32_t>(e) & 0xffffff;
      uint32_t swap = (el ^ er) & salt_bits;
      e = ((uint64_t{el ^ swap} << 24) | (er ^ swap)) ^ keys_[decrypt ? 15 - i : i];
      uint32_t f = 0;
      for (int j = 0; j < 8; ++j) f |= t.sp[j][(e >> (42 - 6 * j)) & 63];
      uint32_t next = l ^ f;
      l = r;
      r = next;
    }
    // The next pass starts from (R16, L16): its IP undoes this pass's FP.
    uint32_t tmp = l;
    l = r;
    r = tmp;
  }
  Store64(out, PermuteWord((uint64_t{l} << 32) | r, t.fp));
  return kOk;
}

void CryptDes::Clear() {
  WipeBytes(keys_, sizeof keys_);
  has_key_ = false;
}

uint32_t CryptDes::SaltFromText(const char* two_chars) {
  const Tables& t = GetTables();
  auto value = [&t](char ch) { return static_cast<uint32_t>(t.char_value[static_cast<uint8_t>(ch) & 0x7f]); };
  return value(two_chars[0]) | (value(two_chars[1]) << 6);
}

char CryptDes::CryptChar(uint32_t six_bits) { return kCryptAlphabet[six_bits & 63]; }

}  // namespace tw
