// The parsed response headers: name and value pairs in arrival order, read by index or by name.
#pragma once

#include "foundation/byte_string.h"
#include "foundation/string_list.h"

namespace tw {

class ParsedHeaderStore {
 public:
  int Count() const { return list_.Count() / 2; }
  // Adds a pair; an empty name continues the last header (its value appended after one blank
  // when that value is not empty). 0 or 200.
  int Add(const char* name, const char* value);
  // The name and value of pair i ("" out of range); 432 from the checked forms.
  const char* Name(int i) const { return list_.Get(2 * i); }
  const char* Value(int i) const { return list_.Get(2 * i + 1); }
  int GetName(int i, const char** out) const;
  int GetValue(int i, const char** out) const;
  // The value of the first header of that name (without case); "" when none.
  const char* Find(const char* name) const;
  void Clear() { list_.Clear(); }

 private:
  StringList list_;
};

}  // namespace tw
