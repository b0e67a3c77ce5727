// libFuzzer entry for the NTLM CHALLENGE reader and the token description.
#include "tests/fuzz/ntlm_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return ntlmfuzz::FuzzChallenge(data, size);
}
