// One entry of a Kerberos credentials cache.
#pragma once

#include "foundation/ptr_array.h"

namespace tw {

struct CcacheCredential {
  // A deep copy; every field added later must be copied here too.
  int CopyFrom(const CcacheCredential&) { return kOk; }
};

using CcacheCredentialArray = PtrArray<CcacheCredential>;

}  // namespace tw
