// libFuzzer entry for the XML parser, path evaluator and writer.
#include "tests/fuzz/xml_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return xmlfuzz::FuzzOne(data, size);
}
