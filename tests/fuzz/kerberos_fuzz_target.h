// One fuzz input through the Kerberos file readers and the token description: the first byte
// picks the reader (keytab, credentials cache, GSS token), the rest is its input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "auth/ccache_credential.h"
#include "auth/gss_token_description.h"
#include "auth/keytab_entry.h"

namespace krbfuzz {

inline int FuzzKerberos(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const uint8_t* in = data + 1;
  const int n = static_cast<int>(size - 1);
  switch (data[0] % 3) {
    case 0: {
      tw::KerberosKeytab kt;
      if (kt.Parse(in, n) == 0) {
        for (int i = 0; i < kt.count(); ++i) kt.Find(kt.entry(i).key_type, nullptr, nullptr);
      }
      break;
    }
    case 1: {
      tw::KerberosCcache cc;
      if (cc.Parse(in, n) == 0) {
        for (int i = 0; i < cc.count(); ++i) cc.entry(i).IsUsableTgt(0);
      }
      break;
    }
    default: {
      tw::ByteString out;
      tw::DescribeGssToken(in, n, &out);
      break;
    }
  }
  return 0;
}

}  // namespace krbfuzz
