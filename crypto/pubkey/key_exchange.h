// One side of a finite-field or elliptic-curve Diffie-Hellman exchange. It is made empty and
// destroyed by its owners and never copied element-wise by the arrays.
#pragma once

#include "foundation/ptr_array.h"

namespace tw {

struct KeyExchange {};

using KeyExchangeArray = PtrArray<KeyExchange>;

}  // namespace tw
