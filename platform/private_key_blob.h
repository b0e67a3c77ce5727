// Private-key blobs of the key containers as libcrypto keys. libcrypto reads the RSA blobs and the
// version 2 DSS blobs itself; the version 3 DSS blob ("DSS4") it does not know, so that key is
// built from the blob's numbers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/openssl_entries.h"

namespace win {

// A new key, or null when the blob is malformed or libcrypto refuses the key.
OsslPkey* PrivateKeyFromBlob(const OpenSslEntries& o, const uint8_t* blob, size_t length);

}  // namespace win
