// libFuzzer entry for the HPACK decoder alone: header blocks separated by "@@", decoded in turn on
// one table, each list re-encoded and decoded back to itself.
#include "tests/fuzz/h2_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  return h2fuzz::DecodeBlocks(data, size);
}
