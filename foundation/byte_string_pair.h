// The name and value record of every list of the system (headers, query parameters, metadata,
// key parameters, certificate attributes) and its owning array.
#pragma once

#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct ByteStringPair {
  ByteString first;   // the name
  ByteString second;  // the value

  // Copies both strings whole, embedded NULs included; 200 when memory runs out.
  int CopyFrom(const ByteStringPair& other);
  // A new pair on the heap holding copies of both strings; null when memory runs out.
  ByteStringPair* Clone() const;
  void Reset() {
    first.Reset();
    second.Reset();
  }
};

class ByteStringPairArray : public PtrArray<ByteStringPair> {
 public:
  void RemoveNameValueAt(int i) { RemoveAt(i); }
  void ClearNameValueList() { Clear(); }
  // Appends a pair of NUL-terminated texts (null counts as ""); 0 or 200.
  int Add(const char* name, const char* value);
  // The pair at index i, or null out of range.
  const ByteStringPair* PairAt(int i) const { return At(i); }
};

}  // namespace tw
