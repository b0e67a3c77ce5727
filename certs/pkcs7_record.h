// One PKCS #7 content record.
#pragma once

#include "foundation/ptr_array.h"

namespace tw {

struct Pkcs7Record {};

using Pkcs7RecordArray = PtrArray<Pkcs7Record>;

}  // namespace tw
