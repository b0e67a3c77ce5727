// libFuzzer entry for the keytab and credentials cache readers and the token description.
#include "tests/fuzz/kerberos_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return krbfuzz::FuzzKerberos(data, size); }
