// Many strings packed in one buffer: each entry is a 3-byte big-endian length L, the L bytes and
// a NUL, so an entry's bytes can be handed out as a NUL-terminated text. Entries are found by
// walking from the start; every entry keeps all of its bytes, embedded NULs included.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class StringList {
 public:
  static constexpr int kMaxEntry = 0xFFFFFF;

  int Count() const { return count_; }

  // Appends an entry; 200 when n is above 0xFFFFFF or memory runs out (the list is unchanged).
  int Add(const void* bytes, int n);
  int AddText(const char* text);
  int AddInt(int32_t v);
  int AddInt64(int64_t v);

  const char* Get(int i) const;  // "" out of range
  int GetLength(int i) const;    // 0 out of range

  // Replaces entry i; 432 for a bad index, 200 for an oversized entry or out of memory.
  int SetAt(int i, const void* bytes, int n);
  int SetAtInt(int i, int32_t v);
  int SetAtText(int i, const char* text);

  // Appends the text to the last entry, or adds it as the first entry of an empty list.
  int AppendToLast(const char* text);

  // Fewer entries cut the list; more add empty entries. Negative n is ignored.
  int SetCount(int n);
  int RemoveAt(int i);  // 432 for a bad index
  // Index of the first entry at or after start equal to the text, -1 when absent.
  int Find(const char* text, int start) const;
  void Clear() {
    packed_.Reset();
    count_ = 0;
  }

  const ByteString& packed() const { return packed_; }

 private:
  int OffsetOf(int i) const;  // offset of entry i's length field, or -1
  int EntryLength(int offset) const;
  void WriteLength(int offset, int n);
  // Replaces the entry at offset (old length old_n) by n bytes; the source is not in packed_.
  int ReplaceEntry(int offset, int old_n, const void* bytes, int n);

  int count_ = 0;
  ByteString packed_;
};

// Cuts the text at every separator; each piece without leading and trailing spaces is added to
// the list unless it is empty. 0 or 200.
int SplitToList(const char* text, char separator, StringList* list);

}  // namespace tw
