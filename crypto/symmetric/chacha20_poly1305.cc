#include "crypto/symmetric/chacha20_poly1305.h"

#include <cstring>

#include "crypto/symmetric/chacha20.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TW_CHACHA_X86 1
#endif

namespace tw {

namespace {

using cipher_detail::LoadLe32;

// "expand 32-byte k"
constexpr uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// Data handled per step of the AEAD loop: keystream XOR, then Poly1305 over the same bytes while
// they are still in the first-level cache.
constexpr size_t kStepBytes = 1024;

inline void StoreLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void XorBytes(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    x ^= y;
    std::memcpy(out + i, &x, 8);
  }
  for (; i < n; ++i) out[i] = a[i] ^ b[i];
}

#ifdef TW_CHACHA_X86

bool DetectAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#define TW_AVX2 __attribute__((target("avx2")))

// Eight keystream blocks per group, one block in each 32-bit lane; XORed over in, groups * 512
// bytes. Lane j of the counter words holds counter + j (carrying into word 13 when wide).
TW_AVX2 void XorGroupsAvx2(const uint32_t s[16], uint64_t counter, bool wide, const uint8_t* in, uint8_t* out,
                           size_t groups) {
  const __m256i rot16 = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7, 4,
                                         5, 10, 11, 8, 9, 14, 15, 12, 13);
  const __m256i rot8 = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 3, 0, 1, 2, 7, 4, 5, 6,
                                        11, 8, 9, 10, 15, 12, 13, 14);
  for (; groups > 0; --groups, counter += 8, in += 512, out += 512) {
    uint32_t lo[8], hi[8];
    for (int j = 0; j < 8; ++j) {
      lo[j] = static_cast<uint32_t>(counter + j);
      hi[j] = wide ? static_cast<uint32_t>((counter + j) >> 32) : s[13];
    }
    const __m256i c12 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lo));
    const __m256i c13 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hi));
    __m256i x0 = _mm256_set1_epi32(static_cast<int>(s[0])), x1 = _mm256_set1_epi32(static_cast<int>(s[1]));
    __m256i x2 = _mm256_set1_epi32(static_cast<int>(s[2])), x3 = _mm256_set1_epi32(static_cast<int>(s[3]));
    __m256i x4 = _mm256_set1_epi32(static_cast<int>(s[4])), x5 = _mm256_set1_epi32(static_cast<int>(s[5]));
    __m256i x6 = _mm256_set1_epi32(static_cast<int>(s[6])), x7 = _mm256_set1_epi32(static_cast<int>(s[7]));
    __m256i x8 = _mm256_set1_epi32(static_cast<int>(s[8])), x9 = _mm256_set1_epi32(static_cast<int>(s[9]));
    __m256i x10 = _mm256_set1_epi32(static_cast<int>(s[10])), x11 = _mm256_set1_epi32(static_cast<int>(s[11]));
    __m256i x12 = c12, x13 = c13;
    __m256i x14 = _mm256_set1_epi32(static_cast<int>(s[14])), x15 = _mm256_set1_epi32(static_cast<int>(s[15]));

#define TW_ROTL(v, n) _mm256_or_si256(_mm256_slli_epi32(v, n), _mm256_srli_epi32(v, 32 - (n)))
#define TW_QR(a, b, c, d)                                 \
  a = _mm256_add_epi32(a, b);                             \
  d = _mm256_shuffle_epi8(_mm256_xor_si256(d, a), rot16); \
  c = _mm256_add_epi32(c, d);                             \
  b = TW_ROTL(_mm256_xor_si256(b, c), 12);                \
  a = _mm256_add_epi32(a, b);                             \
  d = _mm256_shuffle_epi8(_mm256_xor_si256(d, a), rot8);  \
  c = _mm256_add_epi32(c, d);                             \
  b = TW_ROTL(_mm256_xor_si256(b, c), 7)

    for (int round = 0; round < 10; ++round) {
      TW_QR(x0, x4, x8, x12);
      TW_QR(x1, x5, x9, x13);
      TW_QR(x2, x6, x10, x14);
      TW_QR(x3, x7, x11, x15);
      TW_QR(x0, x5, x10, x15);
      TW_QR(x1, x6, x11, x12);
      TW_QR(x2, x7, x8, x13);
      TW_QR(x3, x4, x9, x14);
    }
#undef TW_QR
#undef TW_ROTL

#define TW_ADD(x, i) x = _mm256_add_epi32(x, _mm256_set1_epi32(static_cast<int>(s[i])))
    TW_ADD(x0, 0);
    TW_ADD(x1, 1);
    TW_ADD(x2, 2);
    TW_ADD(x3, 3);
    TW_ADD(x4, 4);
    TW_ADD(x5, 5);
    TW_ADD(x6, 6);
    TW_ADD(x7, 7);
    TW_ADD(x8, 8);
    TW_ADD(x9, 9);
    TW_ADD(x10, 10);
    TW_ADD(x11, 11);
    x12 = _mm256_add_epi32(x12, c12);
    x13 = _mm256_add_epi32(x13, c13);
    TW_ADD(x14, 14);
    TW_ADD(x15, 15);
#undef TW_ADD

    // Transpose four words of eight lanes at a time: afterwards the low half of u_j holds those
    // words of block j, the high half those of block j + 4.
#define TW_TRANSPOSE(a, b, c, d)                                 \
  {                                                              \
    const __m256i t0 = _mm256_unpacklo_epi32(a, b);              \
    const __m256i t1 = _mm256_unpackhi_epi32(a, b);              \
    const __m256i t2 = _mm256_unpacklo_epi32(c, d);              \
    const __m256i t3 = _mm256_unpackhi_epi32(c, d);              \
    a = _mm256_unpacklo_epi64(t0, t2);                           \
    b = _mm256_unpackhi_epi64(t0, t2);                           \
    c = _mm256_unpacklo_epi64(t1, t3);                           \
    d = _mm256_unpackhi_epi64(t1, t3);                           \
  }
    TW_TRANSPOSE(x0, x1, x2, x3);
    TW_TRANSPOSE(x4, x5, x6, x7);
    TW_TRANSPOSE(x8, x9, x10, x11);
    TW_TRANSPOSE(x12, x13, x14, x15);
#undef TW_TRANSPOSE

#define TW_OUT(offset, v)                                                                         \
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (offset)),                                 \
                      _mm256_xor_si256(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + (offset)))))
#define TW_BLOCK(j, a, b, c, d)                                  \
  TW_OUT(64 * (j), _mm256_permute2x128_si256(a, b, 0x20));       \
  TW_OUT(64 * (j) + 32, _mm256_permute2x128_si256(c, d, 0x20));  \
  TW_OUT(64 * (j) + 256, _mm256_permute2x128_si256(a, b, 0x31)); \
  TW_OUT(64 * (j) + 288, _mm256_permute2x128_si256(c, d, 0x31))
    TW_BLOCK(0, x0, x4, x8, x12);
    TW_BLOCK(1, x1, x5, x9, x13);
    TW_BLOCK(2, x2, x6, x10, x14);
    TW_BLOCK(3, x3, x7, x11, x15);
#undef TW_BLOCK
#undef TW_OUT
  }
}

#else

bool DetectAvx2() { return false; }
void XorGroupsAvx2(const uint32_t*, uint64_t, bool, const uint8_t*, uint8_t*, size_t) {}

#endif

}  // namespace

bool ChaCha20WideAvailable() {
  static const bool available = DetectAvx2();
  return available;
}

ChaCha20Poly1305Context::ChaCha20Poly1305Context() {
  WipeBytes(&stream_, sizeof stream_);
  WipeBytes(key_, sizeof key_);
}

ChaCha20Poly1305Context::~ChaCha20Poly1305Context() { Clear(); }

void ChaCha20Poly1305Context::Clear() {
  WipeBytes(&stream_, sizeof stream_);
  WipeBytes(key_, sizeof key_);
  poly_.Clear();
  if (aad_.length() > 0) WipeBytes(aad_.data(), static_cast<size_t>(aad_.length()));
  aad_.Reset();
  aad_bytes_ = data_bytes_ = 0;
  phase_ = kIdle;
  has_key_ = false;
}

bool ChaCha20Poly1305Context::UsesHardware() const { return hw_allowed_ && ChaCha20WideAvailable(); }

int ChaCha20Poly1305Context::SetKey(const uint8_t* key, int key_length) {
  if (key_length != kKeyBytes) return kErrCipherKeyLength;
  Clear();
  std::memcpy(key_, key, kKeyBytes);
  has_key_ = true;
  return kOk;
}

// Sets up the keystream for the nonce, draws the Poly1305 key from block `counter` and leaves the
// stream at the next block.
int ChaCha20Poly1305Context::Begin(const uint8_t* nonce, int nonce_length, uint64_t counter) {
  if (nonce_length != 12 && nonce_length != 8) return kErrCipherNonceLength;
  if (nonce_length == 12 && counter > 0xFFFFFFFFu) return kErrCipherCounterExhausted;
  Stream& s = stream_;
  WipeBytes(&s, sizeof s);
  for (int i = 0; i < 4; ++i) s.state[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) s.state[4 + i] = LoadLe32(key_ + 4 * i);
  if (nonce_length == 12) {
    for (int i = 0; i < 3; ++i) s.state[13 + i] = LoadLe32(nonce + 4 * i);
  } else {
    s.state[14] = LoadLe32(nonce);
    s.state[15] = LoadLe32(nonce + 4);
  }
  s.wide = nonce_length == 8;
  s.next = counter;
  s.blocks_left = 1;
  uint8_t block[64];
  StreamBlock(block);
  poly_.Init(block);
  WipeBytes(block, sizeof block);
  s.blocks_left = (s.wide ? UINT64_MAX : 0xFFFFFFFFu) - counter;
  s.used = 64;
  if (aad_.length() > 0) WipeBytes(aad_.data(), static_cast<size_t>(aad_.length()));
  aad_.Reset();
  aad_bytes_ = data_bytes_ = 0;
  phase_ = kAad;
  return kOk;
}

void ChaCha20Poly1305Context::StreamBlock(uint8_t out[64]) {
  Stream& s = stream_;
  s.state[12] = static_cast<uint32_t>(s.next);
  if (s.wide) s.state[13] = static_cast<uint32_t>(s.next >> 32);
  ChaCha20Block(s.state, out);
  ++s.next;
  --s.blocks_left;
}

bool ChaCha20Poly1305Context::StreamHasRoom(size_t length) const {
  const size_t buffered = 64 - stream_.used;
  return length <= buffered || (length - buffered + 63) / 64 <= stream_.blocks_left;
}

void ChaCha20Poly1305Context::StreamXor(const uint8_t* in, uint8_t* out, size_t length) {
  Stream& s = stream_;
  if (s.used < 64) {
    const size_t take = length < 64 - s.used ? length : 64 - s.used;
    XorBytes(out, in, s.block + s.used, take);
    s.used += static_cast<uint32_t>(take);
    in += take;
    out += take;
    length -= take;
  }
  if (length >= 512 && hw_allowed_ && ChaCha20WideAvailable()) {
    const size_t groups = length / 512;
    XorGroupsAvx2(s.state, s.next, s.wide != 0, in, out, groups);
    s.next += 8 * groups;
    s.blocks_left -= 8 * groups;
    in += 512 * groups;
    out += 512 * groups;
    length -= 512 * groups;
  }
  uint8_t block[64];
  while (length >= 64) {
    StreamBlock(block);
    XorBytes(out, in, block, 64);
    in += 64;
    out += 64;
    length -= 64;
  }
  WipeBytes(block, sizeof block);
  if (length > 0) {
    StreamBlock(s.block);
    XorBytes(out, in, s.block, length);
    s.used = static_cast<uint32_t>(length);
  }
}

int ChaCha20Poly1305Context::Start(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length,
                                   uint64_t counter, bool encrypt) {
  if (key_length != kKeyBytes) return kErrCipherKeyLength;
  if (nonce_length != 12 && nonce_length != 8) return kErrCipherNonceLength;
  if (key != key_) std::memcpy(key_, key, kKeyBytes);
  has_key_ = true;
  encrypting_ = encrypt;
  return Begin(nonce, nonce_length, counter);
}

int ChaCha20Poly1305Context::AddAad(const uint8_t* aad, size_t length) {
  if (phase_ != kAad) return kAeadMisuse;
  if (length > static_cast<size_t>(0x7FFFFFFF - aad_.length())) return kErrOutOfMemory;
  const int rc = aad_.Append(aad, static_cast<int>(length));
  if (rc != kOk) return rc;
  poly_.Update(aad, length);
  aad_bytes_ += length;
  return kOk;
}

// The AAD is padded once, when the data begins, so that pieces of any size give the RFC's tag.
void ChaCha20Poly1305Context::EnterData() {
  if (phase_ == kAad) {
    poly_.PadToBlock();
    phase_ = kData;
  }
}

int ChaCha20Poly1305Context::Crypt(const uint8_t* in, size_t length, uint8_t* out, bool encrypt) {
  if (phase_ != kAad && phase_ != kData) return kAeadMisuse;
  if (!StreamHasRoom(length)) return kErrCipherCounterExhausted;
  EnterData();
  data_bytes_ += length;
  while (length > 0) {
    const size_t m = length < kStepBytes ? length : kStepBytes;
    if (!encrypt) poly_.Update(in, m);
    StreamXor(in, out, m);
    if (encrypt) poly_.Update(out, m);
    in += m;
    out += m;
    length -= m;
  }
  return kOk;
}

void ChaCha20Poly1305Context::ComputeTag(uint8_t tag[kTagBytes]) {
  EnterData();
  poly_.PadToBlock();
  uint8_t lengths[16];
  StoreLe64(lengths, aad_bytes_);
  StoreLe64(lengths + 8, data_bytes_);
  poly_.Update(lengths, 16);
  poly_.Finish(tag);
  phase_ = kDone;
}

int ChaCha20Poly1305Context::Finish(uint8_t* tag, int tag_length, bool make) {
  if (!tag) return kAeadMisuse;
  if (phase_ != kAad && phase_ != kData) return kAeadMisuse;
  uint8_t computed[kTagBytes];
  ComputeTag(computed);
  int rc = kOk;
  if (make) {
    std::memcpy(tag, computed, kTagBytes);
  } else if (tag_length != kTagBytes || !ConstantTimeEqual(computed, tag, kTagBytes)) {
    rc = kAeadTagMismatch;
  }
  WipeBytes(computed, sizeof computed);
  return rc;
}

int ChaCha20Poly1305Context::Seal(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
                                  const uint8_t* in, uint8_t* out, size_t length, uint8_t tag[kTagBytes]) {
  if (!has_key_) return kErrAeadNotStarted;
  if (nonce_length != 12 && nonce_length != 8) return kErrAeadNonceLength;
  int rc = Begin(nonce, static_cast<int>(nonce_length), initial_counter_);
  if (rc != kOk) return rc;
  if (!StreamHasRoom(length)) return kErrAeadTooManyBlocks;
  encrypting_ = true;
  poly_.Update(aad, aad_length);
  aad_bytes_ = aad_length;
  rc = Crypt(in, length, out, true);
  if (rc != kOk) return rc;
  ComputeTag(tag);
  return kOk;
}

int ChaCha20Poly1305Context::Open(const uint8_t* nonce, size_t nonce_length, const uint8_t* aad, size_t aad_length,
                                  const uint8_t* in, uint8_t* out, size_t length, const uint8_t* tag,
                                  size_t tag_length) {
  if (!has_key_) return kErrAeadNotStarted;
  if (nonce_length != 12 && nonce_length != 8) return kErrAeadNonceLength;
  int rc = Begin(nonce, static_cast<int>(nonce_length), initial_counter_);
  if (rc != kOk) return rc;
  if (!StreamHasRoom(length)) return kErrAeadTooManyBlocks;
  encrypting_ = false;
  // Authenticate first; nothing is decrypted unless the tag holds.
  poly_.Update(aad, aad_length);
  aad_bytes_ = aad_length;
  EnterData();
  poly_.Update(in, length);
  data_bytes_ = length;
  uint8_t computed[kTagBytes];
  ComputeTag(computed);
  const bool ok = tag_length == kTagBytes && ConstantTimeEqual(computed, tag, kTagBytes);
  WipeBytes(computed, sizeof computed);
  if (!ok) return kErrAeadAuthentication;
  StreamXor(in, out, length);
  return kOk;
}

}  // namespace tw
