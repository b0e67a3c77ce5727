// libFuzzer entry for the DER reader, element tree and writer.
#include "tests/fuzz/cert_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return certfuzz::FuzzDer(data, size);
}
