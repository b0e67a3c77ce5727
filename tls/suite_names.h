// Display names of cipher suite values: the TLS cipher suite registry's names with their values,
// the SSL 2.0 cipher kinds (three-byte values) and the old FIPS and FORTEZZA values.
#pragma once

#include <cstdint>

namespace tw {

// The name of a suite value; null when the table does not hold it.
const char* RegisteredSuiteName(uint32_t id);

}  // namespace tw
