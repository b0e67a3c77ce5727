// A key of any algorithm, held as big-endian byte strings, with a public-only form.
#pragma once

#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct KeyPair {
  int32_t type = 0;  // 0 none, 1 RSA, 2 DSA, 3 EC, 4 Edwards or Montgomery curve
  bool public_only = false;

  // A deep copy; every field added later must be copied here too.
  int CopyFrom(const KeyPair& other) {
    type = other.type;
    public_only = other.public_only;
    return kOk;
  }
};

using KeyPairArray = PtrArray<KeyPair>;

}  // namespace tw
