// One X.509 extension: its object identifier, the critical flag and the value bytes.
#pragma once

#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct CertExtension {
  ByteString oid;
  bool critical = false;
  ByteString value;

  int CopyFrom(const CertExtension& other) {
    critical = other.critical;
    int rc = oid.Assign(other.oid);
    return rc != kOk ? rc : value.Assign(other.value);
  }
  // The second copy form (InsertClone); both copy every byte.
  int CloneFrom(const CertExtension& other) { return CopyFrom(other); }
};

using CertExtensionArray = PtrArray<CertExtension>;

}  // namespace tw
