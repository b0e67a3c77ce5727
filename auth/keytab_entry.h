// One entry of a Kerberos keytab file.
#pragma once

#include "foundation/ptr_array.h"

namespace tw {

struct KeytabEntry {};

using KeytabEntryArray = PtrArray<KeytabEntry>;

}  // namespace tw
