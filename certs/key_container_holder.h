// Holds one platform key container.
#pragma once

#include "foundation/ptr_array.h"

namespace tw {

struct KeyContainerHolder {};

using KeyContainerHolderArray = PtrArray<KeyContainerHolder>;

}  // namespace tw
