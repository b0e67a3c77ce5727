#include "foundation/byte_string_pair.h"

namespace tw {

int ByteStringPair::CopyFrom(const ByteStringPair& other) {
  if (this == &other) return kOk;
  int rc = first.Assign(other.first);
  if (rc == kOk) rc = second.Assign(other.second);
  return rc;
}

ByteStringPair* ByteStringPair::Clone() const {
  ByteStringPair* copy = NewRecord<ByteStringPair>();
  if (!copy) return nullptr;
  if (copy->CopyFrom(*this) != kOk) {
    DeleteRecord(copy);
    return nullptr;
  }
  return copy;
}

int ByteStringPairArray::Add(const char* name, const char* value) {
  ByteStringPair* pair = NewRecord<ByteStringPair>();
  if (!pair) return kErrOutOfMemory;
  if (pair->first.SetText(name) != kOk || pair->second.SetText(value) != kOk) {
    DeleteRecord(pair);
    return kErrOutOfMemory;
  }
  return InsertOwned(Count(), pair);
}

}  // namespace tw
