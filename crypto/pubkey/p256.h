// P-256 on its own arithmetic: a four-limb Montgomery field that reduces through the special form
// of p, Jacobian points, a fixed-base table for signing and key generation, and a wNAF double-base
// product for verification. Secret scalars run a fixed walk with masked table reads; only
// verification, whose inputs are public, takes shortcuts.
#pragma once

#include <memory>

#include "crypto/pubkey/ec_point.h"

namespace tw {

// Whether the parameters are P-256's (p, a, b, G and n byte for byte, leading zeros aside).
bool IsP256Params(const EcCurveParams& c);
// The P-256 group; its base table is built on first use, safely across threads.
std::unique_ptr<EcGroup> MakeP256Group();

}  // namespace tw
