// One fuzz input as the server's NTLM CHALLENGE: checked, answered, and described for the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "auth/ntlm_context.h"

namespace ntlmfuzz {

inline int FuzzChallenge(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  static constexpr uint8_t kClient[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (bool v2 : {false, true}) {
    tw::NtlmContext ntlm;
    ntlm.SetCredentials("NTLM", "Domain\\User", "Password");
    ntlm.SetFixedClientChallenge(kClient);
    ntlm.SetFixedTimestamp(0);
    ntlm.set_ntlmv2(v2);
    tw::ByteString token;
    ntlm.GetToken(&token, "NTLM", "host", nullptr, 0);
    ntlm.GetToken(&token, "NTLM", "host", data, static_cast<int>(size));
  }
  tw::ByteString log;
  tw::DescribeAuthToken(log, data, static_cast<int>(size));
  return 0;
}

}  // namespace ntlmfuzz
