// A key with its identifier (friendly name) in a key container.
#pragma once

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct KeyEntry {
  uint32_t kind = 0;
  ByteString id;
  KeyPair key;

  int CopyFrom(const KeyEntry& other) {
    kind = other.kind;
    int rc = id.Assign(other.id);
    return rc != kOk ? rc : key.CopyFrom(other.key);
  }
};

using KeyEntryArray = PtrArray<KeyEntry>;

}  // namespace tw
