// A public-key object held by the certificate layer.
#pragma once

#include "foundation/ptr_array.h"

namespace tw {

struct AsymmetricKey {};

using AsymmetricKeyArray = PtrArray<AsymmetricKey>;

}  // namespace tw
