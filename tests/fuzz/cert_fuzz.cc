// libFuzzer entry for the certificate parser and what is read from a certificate.
#include "tests/fuzz/cert_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return certfuzz::FuzzCertificate(data, size);
}
