// The platform's CNG key storage (ncrypt) for elliptic-curve keys, loaded on first use as
// "Ncrypt.dll". Import, derivation and the engine's sign and verify are in
// crypto/pubkey/public_key.h, where the engine reaches them; without ncrypt each operation
// reports it missing with -1, after the checks that come first.
#pragma once

#include <cstdint>

#include "crypto/pubkey/ec_key_data.h"
#include "crypto/pubkey/public_key.h"
#include "foundation/byte_string.h"

namespace tw {

// Whether ncrypt loaded with every entry point the operations call.
bool CngAvailable();

// A new key of the curve (0 P-256, 1 P-384, 2 P-521) made by the platform and read back with its
// private part; 1401 for another curve, 1409 for a blob that does not read.
int CngGenerateEcKey(int curve_id, EcKeyData* out);

}  // namespace tw
