#include "crypto/symmetric/aes.h"

#include <array>
#include <cstring>

#include "crypto/symmetric/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TW_AES_X86 1
#endif

namespace tw {

namespace {

using cipher_detail::LoadBe32;
using cipher_detail::Rotr32;
using cipher_detail::StoreBe32;

// Tables derived at compile time from the field arithmetic of GF(2^8) mod x^8 + x^4 + x^3 + x + 1,
// so no transcribed constant can be wrong.
constexpr uint8_t XTime(uint8_t a) { return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0)); }
constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t p = 0;
  while (b) {
    if (b & 1) p ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return p;
}
constexpr uint8_t GfInverse(uint8_t a) {
  if (a == 0) return 0;
  uint8_t r = 1;  // a^254
  for (int i = 0; i < 254; ++i) r = GfMul(r, a);
  return r;
}
constexpr uint8_t Rotl8(uint8_t v, int n) { return static_cast<uint8_t>((v << n) | (v >> (8 - n))); }

constexpr std::array<uint8_t, 256> MakeSbox() {
  std::array<uint8_t, 256> s{};
  for (int x = 0; x < 256; ++x) {
    uint8_t b = GfInverse(static_cast<uint8_t>(x));
    s[x] = static_cast<uint8_t>(b ^ Rotl8(b, 1) ^ Rotl8(b, 2) ^ Rotl8(b, 3) ^ Rotl8(b, 4) ^ 0x63);
  }
  return s;
}
constexpr std::array<uint8_t, 256> kSbox = MakeSbox();

constexpr std::array<uint8_t, 256> MakeInverseSbox() {
  std::array<uint8_t, 256> inv{};
  for (int x = 0; x < 256; ++x) inv[kSbox[x]] = static_cast<uint8_t>(x);
  return inv;
}
constexpr std::array<uint8_t, 256> kInvSbox = MakeInverseSbox();

using Table = std::array<uint32_t, 256>;

constexpr Table MakeTe(int rotation) {
  Table t{};
  for (int x = 0; x < 256; ++x) {
    uint8_t s = kSbox[x];
    uint32_t w = (uint32_t{GfMul(s, 2)} << 24) | (uint32_t{s} << 16) | (uint32_t{s} << 8) | GfMul(s, 3);
    t[x] = Rotr32(w, 8 * rotation);
  }
  return t;
}
constexpr Table MakeTd(int rotation) {
  Table t{};
  for (int x = 0; x < 256; ++x) {
    uint8_t s = kInvSbox[x];
    uint32_t w = (uint32_t{GfMul(s, 14)} << 24) | (uint32_t{GfMul(s, 9)} << 16) |
                 (uint32_t{GfMul(s, 13)} << 8) | GfMul(s, 11);
    t[x] = Rotr32(w, 8 * rotation);
  }
  return t;
}
constexpr Table kTe0 = MakeTe(0), kTe1 = MakeTe(1), kTe2 = MakeTe(2), kTe3 = MakeTe(3);
constexpr Table kTd0 = MakeTd(0), kTd1 = MakeTd(1), kTd2 = MakeTd(2), kTd3 = MakeTd(3);

constexpr std::array<uint8_t, 30> MakeRcon() {
  std::array<uint8_t, 30> r{};
  uint8_t v = 1;
  for (auto& x : r) {
    x = v;
    v = XTime(v);
  }
  return r;
}
constexpr std::array<uint8_t, 30> kRcon = MakeRcon();

static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xed && kInvSbox[0x63] == 0x00);
static_assert(kTe0[0] == 0xc66363a5 && kTd0[0] == 0x51f4a750);

inline uint32_t SubWord(uint32_t w) {
  return (uint32_t{kSbox[w >> 24]} << 24) | (uint32_t{kSbox[(w >> 16) & 0xff]} << 16) |
         (uint32_t{kSbox[(w >> 8) & 0xff]} << 8) | kSbox[w & 0xff];
}

inline uint32_t InvMixColumn(uint32_t w) {
  return kTd0[kSbox[w >> 24]] ^ kTd1[kSbox[(w >> 16) & 0xff]] ^ kTd2[kSbox[(w >> 8) & 0xff]] ^
         kTd3[kSbox[w & 0xff]];
}

// The Rijndael key expansion for nk key words and nb block words; returns the round count.
int ExpandKey(const uint8_t* key, int nk, int nb, uint32_t* w) {
  int rounds = (nk > nb ? nk : nb) + 6;
  int total = nb * (rounds + 1);
  for (int i = 0; i < nk; ++i) w[i] = LoadBe32(key + 4 * i);
  for (int i = nk; i < total; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = SubWord(cipher_detail::Rotl32(t, 8)) ^ (uint32_t{kRcon[i / nk - 1]} << 24);
    } else if (nk > 6 && i % nk == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  return rounds;
}

// The equivalent inverse cipher's schedule: rounds reversed, InvMixColumns on the inner ones.
void InvertSchedule(const uint32_t* enc, int nb, int rounds, uint32_t* dec) {
  for (int r = 0; r <= rounds; ++r) {
    const uint32_t* src = enc + nb * (rounds - r);
    uint32_t* dst = dec + nb * r;
    for (int c = 0; c < nb; ++c) dst[c] = (r == 0 || r == rounds) ? src[c] : InvMixColumn(src[c]);
  }
}

void PortableEncrypt(const uint32_t* rk, int rounds, const uint8_t* in, uint8_t* out) {
  uint32_t s0 = LoadBe32(in) ^ rk[0];
  uint32_t s1 = LoadBe32(in + 4) ^ rk[1];
  uint32_t s2 = LoadBe32(in + 8) ^ rk[2];
  uint32_t s3 = LoadBe32(in + 12) ^ rk[3];
  for (int r = 1; r < rounds; ++r) {
    rk += 4;
    uint32_t t0 = kTe0[s0 >> 24] ^ kTe1[(s1 >> 16) & 0xff] ^ kTe2[(s2 >> 8) & 0xff] ^ kTe3[s3 & 0xff] ^ rk[0];
    uint32_t t1 = kTe0[s1 >> 24] ^ kTe1[(s2 >> 16) & 0xff] ^ kTe2[(s3 >> 8) & 0xff] ^ kTe3[s0 & 0xff] ^ rk[1];
    uint32_t t2 = kTe0[s2 >> 24] ^ kTe1[(s3 >> 16) & 0xff] ^ kTe2[(s0 >> 8) & 0xff] ^ kTe3[s1 & 0xff] ^ rk[2];
    uint32_t t3 = kTe0[s3 >> 24] ^ kTe1[(s0 >> 16) & 0xff] ^ kTe2[(s1 >> 8) & 0xff] ^ kTe3[s2 & 0xff] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return (uint32_t{kSbox[a >> 24]} << 24) | (uint32_t{kSbox[(b >> 16) & 0xff]} << 16) |
           (uint32_t{kSbox[(c >> 8) & 0xff]} << 8) | kSbox[d & 0xff];
  };
  StoreBe32(out, last(s0, s1, s2, s3) ^ rk[0]);
  StoreBe32(out + 4, last(s1, s2, s3, s0) ^ rk[1]);
  StoreBe32(out + 8, last(s2, s3, s0, s1) ^ rk[2]);
  StoreBe32(out + 12, last(s3, s0, s1, s2) ^ rk[3]);
}

void PortableDecrypt(const uint32_t* rk, int rounds, const uint8_t* in, uint8_t* out) {
  uint32_t s0 = LoadBe32(in) ^ rk[0];
  uint32_t s1 = LoadBe32(in + 4) ^ rk[1];
  uint32_t s2 = LoadBe32(in + 8) ^ rk[2];
  uint32_t s3 = LoadBe32(in + 12) ^ rk[3];
  for (int r = 1; r < rounds; ++r) {
    rk += 4;
    uint32_t t0 = kTd0[s0 >> 24] ^ kTd1[(s3 >> 16) & 0xff] ^ kTd2[(s2 >> 8) & 0xff] ^ kTd3[s1 & 0xff] ^ rk[0];
    uint32_t t1 = kTd0[s1 >> 24] ^ kTd1[(s0 >> 16) & 0xff] ^ kTd2[(s3 >> 8) & 0xff] ^ kTd3[s2 & 0xff] ^ rk[1];
    uint32_t t2 = kTd0[s2 >> 24] ^ kTd1[(s1 >> 16) & 0xff] ^ kTd2[(s0 >> 8) & 0xff] ^ kTd3[s3 & 0xff] ^ rk[2];
    uint32_t t3 = kTd0[s3 >> 24] ^ kTd1[(s2 >> 16) & 0xff] ^ kTd2[(s1 >> 8) & 0xff] ^ kTd3[s0 & 0xff] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return (uint32_t{kInvSbox[a >> 24]} << 24) | (uint32_t{kInvSbox[(b >> 16) & 0xff]} << 16) |
           (uint32_t{kInvSbox[(c >> 8) & 0xff]} << 8) | kInvSbox[d & 0xff];
  };
  StoreBe32(out, last(s0, s3, s2, s1) ^ rk[0]);
  StoreBe32(out + 4, last(s1, s0, s3, s2) ^ rk[1]);
  StoreBe32(out + 8, last(s2, s1, s0, s3) ^ rk[2]);
  StoreBe32(out + 12, last(s3, s2, s1, s0) ^ rk[3]);
}

// Rijndael over nb = 6 or 8 block words; the row shifts are 1, 2, 3 for six words and 1, 3, 4
// for eight.
void WideEncrypt(const uint32_t* rk, int nb, int rounds, const uint8_t* in, uint8_t* out) {
  const int c1 = 1, c2 = nb == 8 ? 3 : 2, c3 = nb == 8 ? 4 : 3;
  uint32_t s[8], t[8];
  for (int j = 0; j < nb; ++j) s[j] = LoadBe32(in + 4 * j) ^ rk[j];
  for (int r = 1; r < rounds; ++r) {
    rk += nb;
    for (int j = 0; j < nb; ++j) {
      t[j] = kTe0[s[j] >> 24] ^ kTe1[(s[(j + c1) % nb] >> 16) & 0xff] ^ kTe2[(s[(j + c2) % nb] >> 8) & 0xff] ^
             kTe3[s[(j + c3) % nb] & 0xff] ^ rk[j];
    }
    std::memcpy(s, t, sizeof(uint32_t) * nb);
  }
  rk += nb;
  for (int j = 0; j < nb; ++j) {
    uint32_t v = (uint32_t{kSbox[s[j] >> 24]} << 24) |
                 (uint32_t{kSbox[(s[(j + c1) % nb] >> 16) & 0xff]} << 16) |
                 (uint32_t{kSbox[(s[(j + c2) % nb] >> 8) & 0xff]} << 8) | kSbox[s[(j + c3) % nb] & 0xff];
    StoreBe32(out + 4 * j, v ^ rk[j]);
  }
  WipeBytes(s, sizeof s);
  WipeBytes(t, sizeof t);
}

void WideDecrypt(const uint32_t* rk, int nb, int rounds, const uint8_t* in, uint8_t* out) {
  // Shifting right by c is shifting left by nb - c.
  const int c1 = nb - 1, c2 = nb - (nb == 8 ? 3 : 2), c3 = nb - (nb == 8 ? 4 : 3);
  uint32_t s[8], t[8];
  for (int j = 0; j < nb; ++j) s[j] = LoadBe32(in + 4 * j) ^ rk[j];
  for (int r = 1; r < rounds; ++r) {
    rk += nb;
    for (int j = 0; j < nb; ++j) {
      t[j] = kTd0[s[j] >> 24] ^ kTd1[(s[(j + c1) % nb] >> 16) & 0xff] ^ kTd2[(s[(j + c2) % nb] >> 8) & 0xff] ^
             kTd3[s[(j + c3) % nb] & 0xff] ^ rk[j];
    }
    std::memcpy(s, t, sizeof(uint32_t) * nb);
  }
  rk += nb;
  for (int j = 0; j < nb; ++j) {
    uint32_t v =
        (uint32_t{kInvSbox[s[j] >> 24]} << 24) | (uint32_t{kInvSbox[(s[(j + c1) % nb] >> 16) & 0xff]} << 16) |
        (uint32_t{kInvSbox[(s[(j + c2) % nb] >> 8) & 0xff]} << 8) | kInvSbox[s[(j + c3) % nb] & 0xff];
    StoreBe32(out + 4 * j, v ^ rk[j]);
  }
  WipeBytes(s, sizeof s);
  WipeBytes(t, sizeof t);
}

#ifdef TW_AES_X86

bool DetectAesInstructions() { return CpuHas(kCpuAesNi); }

// One AES-NI round of either direction; the key schedule given is that direction's.
template <bool kDecrypt>
__attribute__((target("aes,sse2"), always_inline)) inline __m128i AesRound(__m128i b, __m128i k) {
  if constexpr (kDecrypt) return _mm_aesdec_si128(b, k);
  return _mm_aesenc_si128(b, k);
}

__attribute__((target("aes,sse2"), always_inline)) inline __m128i AesFirst(const uint8_t* in,
                                                                            __m128i k0) {
  return _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), k0);
}

template <bool kDecrypt>
__attribute__((target("aes,sse2"), always_inline)) inline void AesLast(uint8_t* out, __m128i b,
                                                                       __m128i k) {
  __m128i r = kDecrypt ? _mm_aesdeclast_si128(b, k) : _mm_aesenclast_si128(b, k);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), r);
}

// Four blocks at a time keep the AES unit's pipeline full.
template <bool kDecrypt>
__attribute__((target("aes,sse2"))) void HwCrypt(const uint8_t* keys, int rounds, const uint8_t* in,
                                                 uint8_t* out, size_t blocks) {
  __m128i k[15];
  for (int r = 0; r <= rounds; ++r) k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16 * r));
  while (blocks >= 4) {
    __m128i b0 = AesFirst(in, k[0]);
    __m128i b1 = AesFirst(in + 16, k[0]);
    __m128i b2 = AesFirst(in + 32, k[0]);
    __m128i b3 = AesFirst(in + 48, k[0]);
    for (int r = 1; r < rounds; ++r) {
      b0 = AesRound<kDecrypt>(b0, k[r]);
      b1 = AesRound<kDecrypt>(b1, k[r]);
      b2 = AesRound<kDecrypt>(b2, k[r]);
      b3 = AesRound<kDecrypt>(b3, k[r]);
    }
    AesLast<kDecrypt>(out, b0, k[rounds]);
    AesLast<kDecrypt>(out + 16, b1, k[rounds]);
    AesLast<kDecrypt>(out + 32, b2, k[rounds]);
    AesLast<kDecrypt>(out + 48, b3, k[rounds]);
    in += 64;
    out += 64;
    blocks -= 4;
  }
  for (; blocks > 0; --blocks, in += 16, out += 16) {
    __m128i b = AesFirst(in, k[0]);
    for (int r = 1; r < rounds; ++r) b = AesRound<kDecrypt>(b, k[r]);
    AesLast<kDecrypt>(out, b, k[rounds]);
  }
  for (auto& x : k) x = _mm_setzero_si128();
}

void HwEncrypt(const uint8_t* keys, int rounds, const uint8_t* in, uint8_t* out, size_t blocks) {
  HwCrypt<false>(keys, rounds, in, out, blocks);
}

// CBC encryption is one chain: the round keys stay in registers and the key-0 XOR of the next
// plaintext is made off the chain, so a block costs the rounds' latency and nothing more.
template <int kRounds>
__attribute__((target("aes,sse2"))) void HwCbcEncrypt(const uint8_t* keys, const uint8_t* in, uint8_t* out,
                                                      size_t blocks, uint8_t* iv) {
  __m128i k[kRounds + 1];
  for (int r = 0; r <= kRounds; ++r) k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16 * r));
  __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  for (; blocks > 0; --blocks, in += 16, out += 16) {
    c = _mm_xor_si128(c, AesFirst(in, k[0]));
    for (int r = 1; r < kRounds; ++r) c = _mm_aesenc_si128(c, k[r]);
    c = _mm_aesenclast_si128(c, k[kRounds]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), c);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), c);
  for (auto& x : k) x = _mm_setzero_si128();
}

// CBC decryption runs eight blocks side by side; the XOR with the previous ciphertext block is
// folded into the last round's key. Every block of a group is loaded before any is stored, so
// in place works.
template <int kRounds>
__attribute__((target("aes,sse2"))) void HwCbcDecrypt(const uint8_t* keys, const uint8_t* in, uint8_t* out,
                                                      size_t blocks, uint8_t* iv) {
  __m128i k[kRounds + 1];
  for (int r = 0; r <= kRounds; ++r) k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16 * r));
  __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  constexpr int kWide = 8;
  for (; blocks >= kWide; blocks -= kWide, in += 16 * kWide, out += 16 * kWide) {
    __m128i c[kWide], b[kWide];
    for (int i = 0; i < kWide; ++i) {
      c[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i));
      b[i] = _mm_xor_si128(c[i], k[0]);
    }
    for (int r = 1; r < kRounds; ++r) {
      for (int i = 0; i < kWide; ++i) b[i] = _mm_aesdec_si128(b[i], k[r]);
    }
    b[0] = _mm_aesdeclast_si128(b[0], _mm_xor_si128(k[kRounds], prev));
    for (int i = 1; i < kWide; ++i) b[i] = _mm_aesdeclast_si128(b[i], _mm_xor_si128(k[kRounds], c[i - 1]));
    prev = c[kWide - 1];
    for (int i = 0; i < kWide; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), b[i]);
  }
  for (; blocks > 0; --blocks, in += 16, out += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    __m128i b = _mm_xor_si128(c, k[0]);
    for (int r = 1; r < kRounds; ++r) b = _mm_aesdec_si128(b, k[r]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_aesdeclast_si128(b, _mm_xor_si128(k[kRounds], prev)));
    prev = c;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), prev);
  for (auto& x : k) x = _mm_setzero_si128();
}

template <bool kDecrypt>
void HwCbc(const uint8_t* keys, int rounds, const uint8_t* in, uint8_t* out, size_t blocks, uint8_t* iv) {
  switch (rounds) {
    case 10:
      return kDecrypt ? HwCbcDecrypt<10>(keys, in, out, blocks, iv) : HwCbcEncrypt<10>(keys, in, out, blocks, iv);
    case 12:
      return kDecrypt ? HwCbcDecrypt<12>(keys, in, out, blocks, iv) : HwCbcEncrypt<12>(keys, in, out, blocks, iv);
    default:
      return kDecrypt ? HwCbcDecrypt<14>(keys, in, out, blocks, iv) : HwCbcEncrypt<14>(keys, in, out, blocks, iv);
  }
}

void HwDecrypt(const uint8_t* keys, int rounds, const uint8_t* in, uint8_t* out, size_t blocks) {
  HwCrypt<true>(keys, rounds, in, out, blocks);
}

#else

bool DetectAesInstructions() { return false; }
void HwEncrypt(const uint8_t*, int, const uint8_t*, uint8_t*, size_t) {}
void HwDecrypt(const uint8_t*, int, const uint8_t*, uint8_t*, size_t) {}
template <bool kDecrypt>
void HwCbc(const uint8_t*, int, const uint8_t*, uint8_t*, size_t, uint8_t*) {}

#endif

void WordsToBytes(const uint32_t* words, int count, uint8_t* bytes) {
  for (int i = 0; i < count; ++i) StoreBe32(bytes + 4 * i, words[i]);
}

}  // namespace

bool AesHardwareAvailable() { return DetectAesInstructions(); }

// ---- AesContext

AesContext::AesContext() : hw_allowed_(true) {}

int AesContext::SetKey(const uint8_t* key, int length, int encrypting, int mode) {
  if (!schedule_) return kErrOutOfMemory;
  if (length != 16 && length != 24 && length != 32) return kErrCipherKeyLength;
  Schedule& s = *schedule_;
  s.rounds = ExpandKey(key, length / 4, 4, s.enc);
  WordsToBytes(s.enc, 4 * (s.rounds + 1), s.enc_bytes);
  s.has_key = 1;
  s.has_dec = 0;
  s.use_hw = hw_allowed_ && AesHardwareAvailable();
  if (UsesInverseCipher(encrypting, mode)) BuildInverse();
  return kOk;
}

void AesContext::BuildInverse() {
  Schedule& s = *schedule_;
  InvertSchedule(s.enc, 4, s.rounds, s.dec);
  WordsToBytes(s.dec, 4 * (s.rounds + 1), s.dec_bytes);
  s.has_dec = 1;
}

int AesContext::EncryptBlock(const uint8_t* in, uint8_t* out) const { return EncryptBlocks(in, out, 1); }

int AesContext::DecryptBlock(const uint8_t* in, uint8_t* out) { return DecryptBlocks(in, out, 1); }

int AesContext::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks) const {
  if (!schedule_) return kErrOutOfMemory;
  const Schedule& s = *schedule_;
  if (!s.has_key) return kErrCipherKeyLength;
  if (s.use_hw) {
    HwEncrypt(s.enc_bytes, s.rounds, in, out, blocks);
  } else {
    for (size_t i = 0; i < blocks; ++i) PortableEncrypt(s.enc, s.rounds, in + 16 * i, out + 16 * i);
  }
  return kOk;
}

int AesContext::DecryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks) {
  if (!schedule_) return kErrOutOfMemory;
  Schedule& s = *schedule_;
  if (!s.has_key) return kErrCipherKeyLength;
  if (!s.has_dec) BuildInverse();
  if (s.use_hw) {
    HwDecrypt(s.dec_bytes, s.rounds, in, out, blocks);
  } else {
    for (size_t i = 0; i < blocks; ++i) PortableDecrypt(s.dec, s.rounds, in + 16 * i, out + 16 * i);
  }
  return kOk;
}

int AesContext::EncryptCbc(const uint8_t* in, uint8_t* out, size_t blocks, uint8_t iv[16]) const {
  if (!schedule_) return kErrOutOfMemory;
  const Schedule& s = *schedule_;
  if (!s.has_key) return kErrCipherKeyLength;
  if (s.use_hw) {
    HwCbc<false>(s.enc_bytes, s.rounds, in, out, blocks, iv);
    return kOk;
  }
  uint8_t block[16];
  for (size_t i = 0; i < blocks; ++i) {
    for (int j = 0; j < 16; ++j) block[j] = static_cast<uint8_t>(in[16 * i + j] ^ iv[j]);
    PortableEncrypt(s.enc, s.rounds, block, iv);
    std::memcpy(out + 16 * i, iv, 16);
  }
  WipeBytes(block, sizeof block);
  return kOk;
}

int AesContext::DecryptCbc(const uint8_t* in, uint8_t* out, size_t blocks, uint8_t iv[16]) {
  if (!schedule_) return kErrOutOfMemory;
  Schedule& s = *schedule_;
  if (!s.has_key) return kErrCipherKeyLength;
  if (!s.has_dec) BuildInverse();
  if (s.use_hw) {
    HwCbc<true>(s.dec_bytes, s.rounds, in, out, blocks, iv);
    return kOk;
  }
  uint8_t cipher[16], plain[16];
  for (size_t i = 0; i < blocks; ++i) {
    std::memcpy(cipher, in + 16 * i, 16);
    PortableDecrypt(s.dec, s.rounds, cipher, plain);
    for (int j = 0; j < 16; ++j) out[16 * i + j] = static_cast<uint8_t>(plain[j] ^ iv[j]);
    std::memcpy(iv, cipher, 16);
  }
  WipeBytes(plain, sizeof plain);
  return kOk;
}

int AesContext::CopyFrom(const AesContext& other) {
  int rc = schedule_.CopyFrom(other.schedule_);
  if (rc != kOk) return rc;
  hw_allowed_ = other.hw_allowed_;
  return kOk;
}

void AesContext::Clear() { schedule_.Wipe(); }

int AesContext::Rounds() const { return schedule_ && schedule_->has_key ? schedule_->rounds : 0; }

bool AesContext::UsesHardware() const { return schedule_ && schedule_->has_key && schedule_->use_hw; }

const uint8_t* AesContext::HardwareRoundKeys() const { return UsesHardware() ? schedule_->enc_bytes : nullptr; }

void AesContext::SetHardwareAllowed(bool allowed) {
  hw_allowed_ = allowed;
  if (schedule_ && schedule_->has_key) schedule_->use_hw = allowed && AesHardwareAvailable();
}

// ---- RijndaelContext

int RijndaelContext::SetKey(const uint8_t* key, int key_length, int block_length, int encrypting, int mode) {
  if (!schedule_) return kErrOutOfMemory;
  if (key_length != 16 && key_length != 24 && key_length != 32) return kErrCipherKeyLength;
  if (block_length != 16 && block_length != 24 && block_length != 32) return kErrCipherKeyLength;
  block_bytes_ = block_length;
  Schedule& s = *schedule_;
  if (block_length == 16) {
    s.has_key = 0;
    return aes_.SetKey(key, key_length, encrypting, mode);
  }
  s.words = block_length / 4;
  s.rounds = ExpandKey(key, key_length / 4, s.words, s.enc);
  s.has_key = 1;
  s.has_dec = 0;
  if (UsesInverseCipher(encrypting, mode)) BuildInverse();
  return kOk;
}

void RijndaelContext::BuildInverse() {
  Schedule& s = *schedule_;
  InvertSchedule(s.enc, s.words, s.rounds, s.dec);
  s.has_dec = 1;
}

int RijndaelContext::EncryptBlock(const uint8_t* in, uint8_t* out) const {
  if (!schedule_) return kErrOutOfMemory;
  if (block_bytes_ == 16) return aes_.EncryptBlock(in, out);
  const Schedule& s = *schedule_;
  if (!s.has_key) return kErrCipherKeyLength;
  WideEncrypt(s.enc, s.words, s.rounds, in, out);
  return kOk;
}

int RijndaelContext::DecryptBlock(const uint8_t* in, uint8_t* out) {
  if (!schedule_) return kErrOutOfMemory;
  if (block_bytes_ == 16) return aes_.DecryptBlock(in, out);
  Schedule& s = *schedule_;
  if (!s.has_key) return kErrCipherKeyLength;
  if (!s.has_dec) BuildInverse();
  WideDecrypt(s.dec, s.words, s.rounds, in, out);
  return kOk;
}

int RijndaelContext::CopyFrom(const RijndaelContext& other) {
  int rc = schedule_.CopyFrom(other.schedule_);
  if (rc != kOk) return rc;
  rc = aes_.CopyFrom(other.aes_);
  if (rc != kOk) return rc;
  block_bytes_ = other.block_bytes_;
  return kOk;
}

void RijndaelContext::Clear() {
  schedule_.Wipe();
  aes_.Clear();
}

int RijndaelContext::Rounds() const {
  if (!schedule_) return 0;
  if (block_bytes_ == 16) return aes_.Rounds();
  return schedule_->has_key ? schedule_->rounds : 0;
}

}  // namespace tw
