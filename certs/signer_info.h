// A PKCS #7 signer record.
#pragma once

#include "foundation/ptr_array.h"

namespace tw {

struct SignerInfo {
  // A deep copy; every field added later must be copied here too.
  int CopyFrom(const SignerInfo&) { return kOk; }
};

using SignerInfoArray = PtrArray<SignerInfo>;

}  // namespace tw
