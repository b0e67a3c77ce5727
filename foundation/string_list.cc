#include "foundation/string_list.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace tw {
namespace {

constexpr int kHeader = 3;               // big-endian length
constexpr int kOverhead = kHeader + 1;   // length and NUL

}  // namespace

int StringList::EntryLength(int offset) const {
  const uint8_t* p = packed_.bytes() + offset;
  return (p[0] << 16) | (p[1] << 8) | p[2];
}

void StringList::WriteLength(int offset, int n) {
  uint8_t* p = packed_.bytes() + offset;
  p[0] = static_cast<uint8_t>(n >> 16);
  p[1] = static_cast<uint8_t>(n >> 8);
  p[2] = static_cast<uint8_t>(n);
}

int StringList::OffsetOf(int i) const {
  if (i < 0 || i >= count_) return -1;
  int offset = 0;
  for (int k = 0; k < i; ++k) offset += EntryLength(offset) + kOverhead;
  return offset;
}

int StringList::Add(const void* bytes, int n) {
  if (n < 0 || !bytes) n = 0;
  if (n > kMaxEntry) return kErrOutOfMemory;
  const int64_t total = static_cast<int64_t>(packed_.length()) + n + kOverhead;
  if (total >= INT32_MAX) return kErrOutOfMemory;
  // The bytes may be one of our own entries: remember where they sit before the buffer moves.
  const char* src = static_cast<const char*>(bytes);
  const char* base = packed_.data();
  const bool inside = src && src >= base && src < base + packed_.length() + 1;
  const ptrdiff_t from = src - base;
  const int offset = packed_.length();
  int rc = packed_.SetData(static_cast<int>(total), nullptr);
  if (rc != kOk) return rc;
  if (inside) src = packed_.data() + from;
  WriteLength(offset, n);
  if (n > 0) std::memmove(packed_.data() + offset + kHeader, src, static_cast<size_t>(n));
  packed_.data()[offset + kHeader + n] = 0;
  ++count_;
  return kOk;
}

int StringList::AddText(const char* text) {
  if (!text) text = "";
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(kMaxEntry)) return kErrOutOfMemory;
  return Add(text, static_cast<int>(n));
}

int StringList::AddInt(int32_t v) {
  char buf[16];
  int n = std::snprintf(buf, sizeof(buf), "%d", v);
  return Add(buf, n);
}

int StringList::AddInt64(int64_t v) {
  char buf[24];
  int n = std::snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(v));
  return Add(buf, n);
}

const char* StringList::Get(int i) const {
  int offset = OffsetOf(i);
  if (offset < 0) return "";
  return packed_.data() + offset + kHeader;
}

int StringList::GetLength(int i) const {
  int offset = OffsetOf(i);
  return offset < 0 ? 0 : EntryLength(offset);
}

int StringList::ReplaceEntry(int offset, int old_n, const void* bytes, int n) {
  const int old_total = packed_.length();
  const int tail_from = offset + kHeader + old_n;  // the NUL and the later entries
  const int tail_len = old_total - tail_from;
  const int64_t new_total = static_cast<int64_t>(old_total) - old_n + n;
  if (new_total >= INT32_MAX) return kErrOutOfMemory;
  if (n > old_n) {
    int rc = packed_.SetData(static_cast<int>(new_total), nullptr);
    if (rc != kOk) return rc;
  }
  char* d = packed_.data();
  std::memmove(d + offset + kHeader + n, d + tail_from, static_cast<size_t>(tail_len));
  if (n < old_n) packed_.SetData(static_cast<int>(new_total), nullptr);
  d = packed_.data();
  if (n > 0) std::memcpy(d + offset + kHeader, bytes, static_cast<size_t>(n));
  WriteLength(offset, n);
  return kOk;
}

int StringList::SetAt(int i, const void* bytes, int n) {
  const int offset = OffsetOf(i);
  if (offset < 0) return kErrIndexOutOfRange;
  if (n < 0 || !bytes) n = 0;
  if (n > kMaxEntry) return kErrOutOfMemory;
  // A source inside the packed buffer would move under the copy: take it aside first.
  const char* src = static_cast<const char*>(bytes);
  const char* base = packed_.data();
  ByteString aside;
  if (n > 0 && src >= base && src < base + packed_.length() + 1) {
    if (aside.Set(src, n) != kOk) return kErrOutOfMemory;
    src = aside.data();
  }
  return ReplaceEntry(offset, EntryLength(offset), src, n);
}

int StringList::SetAtInt(int i, int32_t v) {
  char buf[16];
  int n = std::snprintf(buf, sizeof(buf), "%d", v);
  return SetAt(i, buf, n);
}

int StringList::SetAtText(int i, const char* text) {
  if (!text) text = "";
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(kMaxEntry)) {
    return OffsetOf(i) < 0 ? kErrIndexOutOfRange : kErrOutOfMemory;
  }
  return SetAt(i, text, static_cast<int>(n));
}

int StringList::AppendToLast(const char* text) {
  if (!text) text = "";
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(kMaxEntry)) return kErrOutOfMemory;
  if (count_ == 0) return Add(text, static_cast<int>(n));
  if (n == 0) return kOk;
  const int offset = OffsetOf(count_ - 1);
  const int old_n = EntryLength(offset);
  // The 3-byte length field cannot count past 0xFFFFFF.
  if (old_n + static_cast<int64_t>(n) > kMaxEntry) return kErrOutOfMemory;
  ByteString joined;
  if (joined.Set(packed_.data() + offset + kHeader, old_n) != kOk ||
      joined.Append(text, static_cast<int>(n)) != kOk) {
    return kErrOutOfMemory;
  }
  return ReplaceEntry(offset, old_n, joined.data(), joined.length());
}

int StringList::SetCount(int n) {
  if (n < 0 || n == count_) return kOk;
  if (n < count_) {
    packed_.SetData(OffsetOf(n), nullptr);
    count_ = n;
    return kOk;
  }
  const int64_t total = packed_.length() + static_cast<int64_t>(n - count_) * kOverhead;
  if (total >= INT32_MAX) return kErrOutOfMemory;
  const int old = packed_.length();
  int rc = packed_.SetData(static_cast<int>(total), nullptr);
  if (rc != kOk) return rc;
  std::memset(packed_.data() + old, 0, static_cast<size_t>(total - old));
  count_ = n;
  return kOk;
}

int StringList::RemoveAt(int i) {
  const int offset = OffsetOf(i);
  if (offset < 0) return kErrIndexOutOfRange;
  const int entry = EntryLength(offset) + kOverhead;
  char* d = packed_.data();
  const int total = packed_.length();
  std::memmove(d + offset, d + offset + entry, static_cast<size_t>(total - offset - entry));
  packed_.SetData(total - entry, nullptr);
  --count_;
  return kOk;
}

int StringList::Find(const char* text, int start) const {
  if (!text) text = "";
  if (start < 0) start = 0;
  const size_t n = std::strlen(text);
  int offset = 0;
  for (int i = 0; i < count_; ++i) {
    const int len = EntryLength(offset);
    if (i >= start && static_cast<size_t>(len) == n &&
        std::memcmp(packed_.data() + offset + kHeader, text, n) == 0) {
      return i;
    }
    offset += len + kOverhead;
  }
  return -1;
}

int SplitToList(const char* text, char separator, StringList* list) {
  if (!text || !list) return kOk;
  const char* p = text;
  for (;;) {
    const char* end = std::strchr(p, separator);
    if (separator == 0 || !end) end = p + std::strlen(p);
    const char* b = p;
    const char* e = end;
    while (b < e && *b == ' ') ++b;
    while (e > b && e[-1] == ' ') --e;
    if (e > b) {
      int rc = list->Add(b, static_cast<int>(e - b));
      if (rc != kOk) return rc;
    }
    if (*end == 0) break;
    p = end + 1;
  }
  return kOk;
}

}  // namespace tw
