#include "crypto/symmetric/md2.h"

#include <cstring>

#include "crypto/symmetric/digest_bits.h"
#include "foundation/byte_string.h"

namespace tw {
namespace {

// The permutation of 0..255 built from the digits of pi.
constexpr uint8_t kS[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,  98,  167, 5,   243, 192, 199,
    115, 140, 152, 147, 43,  217, 188, 76,  130, 202, 30,  155, 87,  60,  253, 212, 224, 22,  103, 66,  111, 24,
    138, 23,  229, 18,  190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142, 187, 47,  238, 122, 169, 104,
    121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,  128, 127, 93,  154, 90,  144, 50,  39,
    53,  62,  204, 231, 191, 247, 151, 3,   255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,
    170, 198, 79,  184, 56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241, 69,  157, 112, 89,
    100, 113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,   27,  96,  37,  173, 174, 176, 185, 246, 28,  70,
    97,  105, 52,  64,  126, 15,  85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,
    44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,  106, 220, 55,  200, 108, 193,
    171, 250, 36,  225, 123, 8,   12,  189, 177, 74,  120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254,
    59,  0,   29,  57,  242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,  49,  68,
    80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20};

}  // namespace

Md2Context::~Md2Context() { WipeBytes(this, sizeof *this); }

void Md2Context::Init() {
  used_ = 0;
  std::memset(buffer_, 0, sizeof buffer_);
  std::memset(checksum_, 0, sizeof checksum_);
  std::memset(state_, 0, sizeof state_);
  std::memset(digest_, 0, sizeof digest_);
  finished_ = false;
}

void Md2Context::Transform(const uint8_t* block) {
  for (int i = 0; i < 16; ++i) {
    state_[16 + i] = block[i];
    state_[32 + i] = static_cast<uint8_t>(block[i] ^ state_[i]);
  }
  unsigned t = 0;
  for (unsigned j = 0; j < 18; ++j) {
    for (int k = 0; k < 48; ++k) t = state_[k] ^= kS[t];
    t = (t + j) & 0xff;
  }
  uint8_t l = checksum_[15];
  for (int i = 0; i < 16; ++i) l = checksum_[i] ^= kS[block[i] ^ l];
}

void Md2Context::Update(const void* bytes, size_t count) {
  if (finished_) Init();
  if (bytes == nullptr || count == 0) return;
  digest::BufferBlocks<kBlockSize>(buffer_, used_, static_cast<const uint8_t*>(bytes), count,
                                   [this](const uint8_t* p, size_t n) {
                                     for (; n > 0; --n, p += kBlockSize) Transform(p);
                                   });
}

const uint8_t* Md2Context::Final() {
  if (finished_) return digest_;
  uint8_t pad[kBlockSize];
  const size_t padLen = kBlockSize - used_;
  std::memset(pad, static_cast<int>(padLen), padLen);
  Update(pad, padLen);
  // The checksum block is copied first: processing it changes the checksum it came from.
  uint8_t sum[16];
  std::memcpy(sum, checksum_, sizeof sum);
  Transform(sum);
  std::memcpy(digest_, state_, kDigestSize);
  WipeBytes(state_, sizeof state_);
  WipeBytes(checksum_, sizeof checksum_);
  WipeBytes(buffer_, sizeof buffer_);
  WipeBytes(sum, sizeof sum);
  finished_ = true;
  return digest_;
}

}  // namespace tw
