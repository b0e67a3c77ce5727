// libFuzzer entry for the TLS handshake as the server: the mode byte's bit 0 is forced.
#include "tests/fuzz/tls_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  input[0] = static_cast<char>(input[0] | 1);
  return tlsfuzz::FuzzOne(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}
