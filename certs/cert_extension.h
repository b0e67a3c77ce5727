// One X.509 extension kept as a generic record, its DER, and the text form of subject
// alternative names.
#pragma once

#include <cstdint>

#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

constexpr const char* kOidSubjectAltName = "2.5.29.17";

struct CertExtension {
  ByteString oid;        // dotted text
  int32_t critical = 0;  // 0 or 1
  ByteString value;      // the extnValue OCTET STRING element, header included

  int CopyFrom(const CertExtension& other) {
    critical = other.critical;
    int rc = oid.Assign(other.oid);
    return rc != kOk ? rc : value.Assign(other.value);
  }
  int CloneFrom(const CertExtension& other) { return CopyFrom(other); }
};

using CertExtensionArray = PtrArray<CertExtension>;

int ParseExtension(const DerCursor& der, CertExtension* extension);
int ParseExtension(const ByteString& der, CertExtension* extension);
int EncodeExtension(const CertExtension& extension, DerWriter* writer);

// The entries of a subjectAltName value (the extnValue element) as "dns:a.example,ip:10.0.0.1"
// or, without prefixes, "a.example, 10.0.0.1". Characters the splitter treats specially are
// escaped, so an entry can never turn into two.
int SubjectAltNameText(const ByteString& extension_value, bool with_prefixes, ByteString* text);

}  // namespace tw
