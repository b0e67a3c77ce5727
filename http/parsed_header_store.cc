#include "http/parsed_header_store.h"

#include <cstring>

#include "foundation/text_conversion.h"

namespace tw {

int ParsedHeaderStore::Add(const char* name, const char* value) {
  if (name == nullptr) name = "";
  if (value == nullptr) value = "";
  if (*name == '\0' && Count() > 0) {
    const int last = list_.Count() - 1;
    if (list_.GetLength(last) > 0 && *value != '\0' && list_.AppendToLast(" ") != kOk) return 200;
    return list_.AppendToLast(value);
  }
  const int count = list_.Count();
  int rc = list_.AddText(name);
  if (rc == kOk) rc = list_.AddText(value);
  if (rc != kOk) list_.SetCount(count);
  return rc;
}

int ParsedHeaderStore::GetName(int i, const char** out) const {
  if (i < 0 || i >= Count()) return kErrIndexOutOfRange;
  *out = Name(i);
  return kOk;
}

int ParsedHeaderStore::GetValue(int i, const char** out) const {
  if (i < 0 || i >= Count()) return kErrIndexOutOfRange;
  *out = Value(i);
  return kOk;
}

const char* ParsedHeaderStore::Find(const char* name) const {
  if (name == nullptr) return "";
  for (int i = 0; i < Count(); ++i) {
    if (EqualsNoCase(Name(i), name)) return Value(i);
  }
  return "";
}

}  // namespace tw
