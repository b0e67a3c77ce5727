// Reading the Kerberos messages' DER: the [n] fields of a SEQUENCE and their typed values.
// Every read is bounded by the cursor it is given.
#pragma once

#include <cstdint>

#include "certs/der_reader.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kKerberosMaxFields = 13;

// The [n] fields of a SEQUENCE's content; absent ones stay empty with has[n] false.
struct KerberosFields {
  DerCursor f[kKerberosMaxFields];
  bool has[kKerberosMaxFields] = {};
};

int KerberosReadFields(DerCursor content, KerberosFields* out);
// The one element of the cursor, which must carry the tag.
int KerberosOnly(DerCursor c, uint8_t want, DerCursor* content);
// Fields of [outer] SEQUENCE {...} (outer 0: a bare SEQUENCE).
int KerberosFieldsOf(DerCursor c, uint8_t outer, KerberosFields* out);
// INTEGER of at most 5 bytes.
int KerberosReadInt(const DerCursor& field, int64_t* v);
int KerberosReadBytes(const DerCursor& field, uint8_t tag, ByteString* out);
// PrincipalName: its components joined by "/"; name_type optional.
int KerberosReadPrincipal(const DerCursor& field, ByteString* out, int64_t* name_type = nullptr);

}  // namespace tw
