// libFuzzer entry for the JSON reader: the whole input, then the same input in two pieces, each
// with the tree built.
#include <cstdint>

#include "formats/json_document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const char* text = reinterpret_cast<const char*>(data);
  const int n = static_cast<int>(size);
  tw::JsonDocument whole;
  whole.set_build_dom(true);
  whole.Parse(text, n);
  tw::JsonDocument pieces;
  pieces.set_build_dom(true);
  if (pieces.Parse(text, n / 2) == 0) pieces.Parse(text + n / 2, n - n / 2);
  return 0;
}
