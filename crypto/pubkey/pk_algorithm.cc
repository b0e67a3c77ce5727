#include "crypto/pubkey/pk_algorithm.h"

namespace tw {

namespace {

struct SizeRule {
  int32_t kind;
  int32_t min_bits;
  int32_t max_bits;
  int32_t step;
};

constexpr SizeRule kSizeRules[] = {
    {0, 384, 4096, 8},
    {1, 512, 4096, 64},
    {2, 512, 4096, 64},
    {3, 128, 128, 128},
};

}  // namespace

bool KeySizeSpec::Allows(int32_t kind, int32_t bits) {
  for (const SizeRule& r : kSizeRules) {
    if (r.kind == kind) {
      return bits >= r.min_bits && bits <= r.max_bits && bits % r.step == 0;
    }
  }
  return bits == 0;
}

int KeySizeSpec::SetBits(int32_t bits) {
  if (!Allows(kind_, bits)) return kErrKeySize;
  bits_ = bits;
  return kOk;
}

}  // namespace tw
