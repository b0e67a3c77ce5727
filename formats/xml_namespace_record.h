// One namespace declaration in scope while an XML document is parsed.
#pragma once

#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct XmlNamespaceRecord {
  ByteString prefix;  // "" for the default namespace
  ByteString uri;
  int32_t depth = 0;  // element depth at which it was declared
  // Offset of the declaration's namespace record in the parser's DOM (0 when none is built).
  uint32_t dom_offset = 0;

  int CopyFrom(const XmlNamespaceRecord& other) {
    depth = other.depth;
    dom_offset = other.dom_offset;
    int rc = prefix.Assign(other.prefix);
    return rc != kOk ? rc : uri.Assign(other.uri);
  }
};

using XmlNamespaceArray = PtrArray<XmlNamespaceRecord>;

}  // namespace tw
