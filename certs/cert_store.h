// The certificate settings block of the TLS-capable client: where the client certificate comes
// from, how the store is opened, which subject is wanted and which certificate was selected.
#pragma once

#include "certs/certificate.h"
#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct CertStore {
  CertStore() { store.SetText("MY"); }  // fits inline: cannot fail

  int32_t store_type = 0;  // a CertStoreTypes value
  ByteString store;        // the store name, or the store's bytes
  ByteString password;
  ByteString subject;  // the requested subject
  Certificate selected;
  ByteString error_text;  // the reason of the last failure, copied by the caller
};

using CertStoreArray = PtrArray<CertStore>;

}  // namespace tw
