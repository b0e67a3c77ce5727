// libFuzzer entry for the HTTP/2 frame dispatcher and the HPACK decoder.
#include "tests/fuzz/h2_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return h2fuzz::FuzzOne(data, size);
}
