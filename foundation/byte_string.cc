#include "foundation/byte_string.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/codepage.h"
#include "platform/heap.h"

namespace tw {
namespace {

constexpr int kFormatScratch = 1024;  // Format output beyond 1023 characters is cut
constexpr int kHexDumpLine = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char16_t kEmptyWide[1] = {0};

// Read without a lock on every release; relaxed is enough for an on/off switch.
std::atomic<bool> g_zero_memory{false};

const char kEmptyText[1] = {0};

inline uint8_t Lower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
inline uint8_t Upper(uint8_t c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }
// Blanks are control bytes and the space; bytes from 0x80 up are text (UTF-8 and code pages).
inline bool IsTrimmed(uint8_t c) { return c <= 0x20; }

// First index >= start where needle begins inside hay, or -1.
int SearchBytes(const char* hay, int hay_len, const char* needle, int needle_len, int start) {
  if (needle_len <= 0 || start < 0 || start >= hay_len || needle_len > hay_len - start) return -1;
  const char* end = hay + hay_len - needle_len;
  const char first = needle[0];
  for (const char* p = hay + start; p <= end; ++p) {
    p = static_cast<const char*>(std::memchr(p, first, end - p + 1));
    if (!p) return -1;
    if (std::memcmp(p, needle, needle_len) == 0) return static_cast<int>(p - hay);
  }
  return -1;
}

}  // namespace

bool ZeroMemoryEnabled() { return g_zero_memory.load(std::memory_order_relaxed); }
void SetZeroMemory(bool on) { g_zero_memory.store(on, std::memory_order_relaxed); }

void WipeBytes(void* p, size_t n) {
  if (p && n) explicit_bzero(p, n);
}

template <int N>
void InlineString<N>::FreeHeap(int wipe_bytes) {
  if (!heap_) return;
  if (wipe_bytes > 0 && ZeroMemoryEnabled()) WipeBytes(heap_, static_cast<size_t>(wipe_bytes));
  win::HeapFree(heap_);
  heap_ = nullptr;
}

template <int N>
void InlineString<N>::Reset() {
  if (ZeroMemoryEnabled()) WipeBytes(inline_, sizeof(inline_));
  FreeHeap(length_);
  ResetFields();
}

template <int N>
void InlineString<N>::TakeFrom(InlineString& other) {
  if (other.heap_) {
    heap_ = other.heap_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.heap_ = nullptr;
    other.Reset();
  } else {
    std::memcpy(inline_, other.inline_, static_cast<size_t>(other.length_) + 1);
    length_ = other.length_;
    other.Reset();
  }
}

template <int N>
int InlineString<N>::SetData(int n, const void* source) {
  if (n < 0) n = 0;
  const char* src = static_cast<const char*>(source);
  if (n <= N) {
    if (heap_) {
      // Back inline: the source may be the heap block itself, so copy before freeing it.
      std::memmove(inline_, src ? src : heap_, static_cast<size_t>(n));
      capacity_ = N;
      FreeHeap(length_);
    } else if (src) {
      std::memmove(inline_, src, static_cast<size_t>(n));
    }
  } else if (n > capacity_) {
    // Computed in 64 bits: n + n / 2 does not fit a 32-bit capacity for n above ~1.4 GB.
    const int64_t wanted = static_cast<int64_t>(n) + n / 2;
    if (wanted >= INT32_MAX) return kErrOutOfMemory;
    const int cap = static_cast<int>(wanted);
    const size_t block_size = static_cast<size_t>(cap) + 1;
    if (src) {
      // The fresh block is filled before the old one goes, so a source inside it stays readable
      // and a failed allocation leaves the string as it was.
      char* block = static_cast<char*>(win::HeapAlloc(block_size));
      if (!block) return kErrOutOfMemory;
      std::memcpy(block, src, static_cast<size_t>(n));
      FreeHeap(length_);
      heap_ = block;
    } else if (heap_) {
      if (ZeroMemoryEnabled()) {
        // A reallocation may move the block and leave the old bytes behind unwiped.
        char* block = static_cast<char*>(win::HeapAlloc(block_size));
        if (!block) return kErrOutOfMemory;
        std::memcpy(block, heap_, static_cast<size_t>(length_) + 1);
        FreeHeap(length_);
        heap_ = block;
      } else {
        char* block = static_cast<char*>(win::HeapReAlloc(heap_, block_size));
        if (!block) return kErrOutOfMemory;
        heap_ = block;
      }
    } else {
      char* block = static_cast<char*>(win::HeapAlloc(block_size));
      if (!block) return kErrOutOfMemory;
      std::memcpy(block, inline_, static_cast<size_t>(length_) + 1);
      heap_ = block;
    }
    capacity_ = cap;
  } else if (src) {
    std::memmove(heap_, src, static_cast<size_t>(n));
  }
  data()[n] = 0;
  length_ = n;
  return kOk;
}

template <int N>
int InlineString<N>::Set(const void* source, int n) {
  return SetData(n < 0 ? 0 : n, source);
}

template <int N>
int InlineString<N>::SetText(const char* text) {
  if (!text) text = kEmptyText;
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(INT32_MAX - 1)) return kErrOutOfMemory;
  return SetData(static_cast<int>(n), text);
}

template <int N>
int InlineString<N>::Append(const void* source, int n) {
  if (!source || n < 1) return kOk;
  const int64_t total = static_cast<int64_t>(length_) + n;
  if (total >= INT32_MAX) return kErrOutOfMemory;
  // A source inside our own storage moves with it when the storage grows.
  const char* src = static_cast<const char*>(source);
  const char* base = data();
  const bool inside = src >= base && src < base + capacity_ + 1;
  const ptrdiff_t offset = src - base;
  const int old_length = length_;
  int rc = SetData(static_cast<int>(total), nullptr);
  if (rc != kOk) return rc;
  if (inside) src = data() + offset;
  std::memmove(data() + old_length, src, static_cast<size_t>(n));
  data()[length_] = 0;
  return kOk;
}

template <int N>
int InlineString<N>::AppendText(const char* text) {
  if (!text) return kOk;
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(INT32_MAX - 1)) return kErrOutOfMemory;
  return Append(text, static_cast<int>(n));
}

template <int N>
int InlineString<N>::AppendUInt(uint32_t v) {
  char buf[16];
  int n = std::snprintf(buf, sizeof(buf), "%u", v);
  return Append(buf, n);
}

template <int N>
int InlineString<N>::AppendInt(int32_t v) {
  char buf[16];
  int n = std::snprintf(buf, sizeof(buf), "%d", v);
  return Append(buf, n);
}

template <int N>
int InlineString<N>::AppendHex(uint32_t v) {
  char buf[16];
  int n = std::snprintf(buf, sizeof(buf), "0x%x", v);
  return Append(buf, n);
}

template <int N>
int InlineString<N>::AppendInt64(int64_t v) {
  char buf[24];
  int n = std::snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(v));
  return Append(buf, n);
}

template <int N>
int InlineString<N>::SetInt64(int64_t v) {
  char buf[24];
  int n = std::snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(v));
  return Set(buf, n);
}

template <int N>
int InlineString<N>::AppendRepeated(int n, uint8_t b) {
  if (n < 1) return kOk;
  const int64_t total = static_cast<int64_t>(length_) + n;
  if (total >= INT32_MAX) return kErrOutOfMemory;
  const int old_length = length_;
  int rc = SetData(static_cast<int>(total), nullptr);
  if (rc != kOk) return rc;
  std::memset(data() + old_length, b, static_cast<size_t>(n));
  return kOk;
}

template <int N>
int InlineString<N>::AppendHexDump(const void* bytes, int n, const char* prefix) {
  if (!bytes) return kOk;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  if (n < 0) n = static_cast<int>(std::strlen(static_cast<const char*>(bytes)));
  if (!prefix) prefix = kEmptyText;
  // Built aside and appended once, so a failure leaves this string unchanged.
  ByteString out;
  char line[8 + 2 + kHexDumpLine * 3 + 3 + kHexDumpLine + 1];
  for (int off = 0; off < n; off += kHexDumpLine) {
    if (off > 0 && out.AppendText("\r\n") != kOk) return kErrOutOfMemory;
    if (*prefix && out.AppendText(prefix) != kOk) return kErrOutOfMemory;
    char* w = line + std::snprintf(line, sizeof(line), "%08X  ", static_cast<unsigned>(off));
    for (int k = 0; k < kHexDumpLine; ++k) {
      if (off + k < n) {
        *w++ = kHexDigits[p[off + k] >> 4];
        *w++ = kHexDigits[p[off + k] & 15];
        *w++ = ' ';
      } else {
        *w++ = ' ';
        *w++ = ' ';
        *w++ = ' ';
      }
    }
    *w++ = ' ';
    *w++ = ' ';
    *w++ = ' ';
    for (int k = 0; k < kHexDumpLine; ++k) {
      if (off + k < n) {
        uint8_t c = p[off + k];
        *w++ = (c >= 32 && c <= 126) ? static_cast<char>(c) : '.';
      } else {
        *w++ = ' ';
      }
    }
    if (out.Append(line, static_cast<int>(w - line)) != kOk) return kErrOutOfMemory;
  }
  return Append(out.data(), out.length());
}

template <int N>
int InlineString<N>::AppendQuoted(const char* text) {
  if (!text) return kOk;
  ByteString out;
  if (out.AppendText("\"") || out.AppendText(text) || out.AppendText("\"")) return kErrOutOfMemory;
  return Append(out.data(), out.length());
}

template <int N>
int InlineString<N>::FormatV(const char* format, va_list args) {
  char scratch[kFormatScratch];
  int n = std::vsnprintf(scratch, sizeof(scratch), format ? format : "", args);
  if (n < 0) n = 0;
  if (n > kFormatScratch - 1) n = kFormatScratch - 1;
  return Set(scratch, n);
}

template <int N>
int InlineString<N>::AppendFormatV(const char* format, va_list args) {
  char scratch[kFormatScratch];
  int n = std::vsnprintf(scratch, sizeof(scratch), format ? format : "", args);
  if (n < 0) n = 0;
  if (n > kFormatScratch - 1) n = kFormatScratch - 1;
  return Append(scratch, n);
}

template <int N>
int InlineString<N>::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int rc = FormatV(format, args);
  va_end(args);
  return rc;
}

template <int N>
int InlineString<N>::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int rc = AppendFormatV(format, args);
  va_end(args);
  return rc;
}

template <int N>
const char* InlineString<N>::PtrAt(int i) const {
  if (i < 0 || i >= length_) return kEmptyText;
  return data() + i;
}

template <int N>
uint8_t InlineString<N>::ByteAt(int i) const {
  if (i < 0 || i >= length_) return 0;
  return bytes()[i];
}

template <int N>
int InlineString<N>::Reserve(int n) {
  if (n <= capacity_) return kOk;
  if (n >= INT32_MAX) return kErrOutOfMemory;
  char* block;
  if (heap_ && !ZeroMemoryEnabled()) {
    // A reallocation may grow in place or remap, where a fresh block would hold the bytes twice.
    block = static_cast<char*>(win::HeapReAlloc(heap_, static_cast<size_t>(n) + 1));
    if (!block) return kErrOutOfMemory;
  } else {
    block = static_cast<char*>(win::HeapAlloc(static_cast<size_t>(n) + 1));
    if (!block) return kErrOutOfMemory;
    std::memcpy(block, data(), static_cast<size_t>(length_) + 1);
    FreeHeap(length_);
  }
  heap_ = block;
  capacity_ = n;
  return kOk;
}

template <int N>
int InlineString<N>::Resize(int n) {
  if (n < 0) n = 0;
  if (n == length_) return kOk;
  const int old_length = length_;
  int rc = SetData(n, nullptr);
  if (rc != kOk) return rc;
  if (n > old_length) std::memset(data() + old_length, 0, static_cast<size_t>(n - old_length));
  return kOk;
}

template <int N>
void InlineString<N>::PopBack() {
  if (length_ > 0) SetData(length_ - 1, nullptr);
}

template <int N>
void InlineString<N>::EraseFront(int n) {
  if (n < 1) return;
  if (n > length_) n = length_;
  char* d = data();
  std::memmove(d, d + n, static_cast<size_t>(length_ - n));
  SetData(length_ - n, nullptr);
}

template <int N>
int InlineString<N>::Slice(int from, int to) {
  if (from < 0 || to < 0 || from >= length_) return kErrIndexOutOfRange;
  const int end = to < length_ ? to : length_;
  EraseFront(from);
  const int keep = end - from;
  return SetData(keep > 0 ? keep : 0, nullptr);
}

template <int N>
void InlineString<N>::TrimChar(uint8_t b) {
  const uint8_t* d = bytes();
  int begin = 0, end = length_;
  while (begin < end && d[begin] == b) ++begin;
  while (end > begin && d[end - 1] == b) --end;
  if (begin == 0 && end == length_) return;
  SetData(end, nullptr);
  EraseFront(begin);
}

template <int N>
void InlineString<N>::Trim() {
  const uint8_t* d = bytes();
  int begin = 0, end = length_;
  while (begin < end && IsTrimmed(d[begin])) ++begin;
  while (end > begin && IsTrimmed(d[end - 1])) --end;
  if (begin == 0 && end == length_) return;
  SetData(end, nullptr);
  EraseFront(begin);
}

template <int N>
void InlineString<N>::ToLower() {
  uint8_t* d = bytes();
  for (int i = 0; i < length_; ++i) d[i] = Lower(d[i]);
}

template <int N>
void InlineString<N>::ToUpper() {
  uint8_t* d = bytes();
  for (int i = 0; i < length_; ++i) d[i] = Upper(d[i]);
}

template <int N>
void InlineString<N>::SwapBytePairs() {
  if (length_ == 0 || (length_ & 1)) return;
  char* d = data();
  for (int i = 0; i < length_; i += 2) {
    char t = d[i];
    d[i] = d[i + 1];
    d[i + 1] = t;
  }
}

template <int N>
int InlineString<N>::FixLeadingZero(int n) {
  if (length_ == n) return kOk;
  if (length_ > n) {
    StripLeadingZero();
    return kOk;
  }
  const int old_length = length_;
  int rc = SetData(old_length + 1, nullptr);
  if (rc != kOk) return rc;
  char* d = data();
  std::memmove(d + 1, d, static_cast<size_t>(old_length));
  d[0] = 0;
  return kOk;
}

template <int N>
void InlineString<N>::StripLeadingZero() {
  if (length_ > 0 && data()[0] == 0) EraseFront(1);
}

template <int N>
int InlineString<N>::ReplaceAllText(const char* find, const char* repl) {
  if (!find || !*find) return kOk;
  const int find_len = static_cast<int>(std::strlen(find));
  if (find_len > length_) return kOk;
  const int repl_len = repl ? static_cast<int>(std::strlen(repl)) : 0;
  ByteString out;
  const char* d = data();
  int pos = 0;
  for (;;) {
    int hit = SearchBytes(d, length_, find, find_len, pos);
    if (hit < 0) break;
    if (out.Append(d + pos, hit - pos) != kOk || out.Append(repl, repl_len) != kOk) {
      return kErrOutOfMemory;
    }
    pos = hit + find_len;
  }
  if (pos == 0) return kOk;
  if (out.Append(d + pos, length_ - pos) != kOk) return kErrOutOfMemory;
  return Set(out.data(), out.length());
}

template <int N>
int InlineString<N>::EqualsBytes(const void* p, int n) const {
  if (n == -1) {
    const char* text = p ? static_cast<const char*>(p) : kEmptyText;
    return std::strcmp(data(), text) == 0 ? 1 : 0;
  }
  if (n != length_) return 0;
  if (n == 0) return 1;
  if (!p) return 0;
  return std::memcmp(data(), p, static_cast<size_t>(n)) == 0 ? 1 : 0;
}

template <int N>
int InlineString<N>::EqualsNoCase(const char* text) const {
  if (!text) text = kEmptyText;
  const uint8_t* a = bytes();
  const uint8_t* b = reinterpret_cast<const uint8_t*>(text);
  for (;; ++a, ++b) {
    if (Lower(*a) != Lower(*b)) return 0;
    if (*a == 0) return 1;
  }
}

template <int N>
int InlineString<N>::StartsWith(const char* text) const {
  if (!text) return 0;
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(length_)) return 0;
  return std::memcmp(data(), text, n) == 0 ? 1 : 0;
}

template <int N>
int InlineString<N>::EndsWith(const char* text) const {
  if (!text) return 0;
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(length_)) return 0;
  return std::memcmp(data() + length_ - n, text, n) == 0 ? 1 : 0;
}

template <int N>
int InlineString<N>::FindChar(uint8_t b, int start) const {
  if (start < 0 || start >= length_) return -1;
  const char* d = data();
  const void* hit = std::memchr(d + start, b, static_cast<size_t>(length_ - start));
  return hit ? static_cast<int>(static_cast<const char*>(hit) - d) : -1;
}

template <int N>
int InlineString<N>::FindLastChar(uint8_t b, int start) const {
  if (start < 0) return -1;
  const uint8_t* d = bytes();
  for (int i = start < length_ - 1 ? start : length_ - 1; i >= 0; --i) {
    if (d[i] == b) return i;
  }
  return -1;
}

template <int N>
int InlineString<N>::Find(const char* text, int start) const {
  if (start < 0) return -1;
  if (!text || !*text) return 0;
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(length_)) return -1;
  return SearchBytes(data(), length_, text, static_cast<int>(n), start);
}

template <int N>
int InlineString<N>::FindBytes(const void* p, int n, int start) const {
  if (!p || n == 0) return -1;
  if (n < 0) {
    const size_t len = std::strlen(static_cast<const char*>(p));
    if (len == 0 || len > static_cast<size_t>(length_)) return -1;
    n = static_cast<int>(len);
  }
  return SearchBytes(data(), length_, static_cast<const char*>(p), n, start);
}

template <int N>
int InlineString<N>::SetWide(const char16_t* wide, unsigned codepage) {
  if (!wide) wide = kEmptyWide;
  const int needed = win::WideCharToMultiByte(codepage, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return kErrTextConversion;
  int rc = SetData(needed, nullptr);
  if (rc != kOk) return rc;
  const int got =
      win::WideCharToMultiByte(codepage, 0, wide, -1, data(), needed, nullptr, nullptr);
  if (got <= 0) {
    SetData(0, nullptr);
    return kErrTextConversion;
  }
  // The conversion's own NUL stays inside the length; callers take length - 1.
  SetData(got, nullptr);
  return kOk;
}

template <int N>
int InlineString<N>::SetWideN(const char16_t* wide, int count, unsigned codepage) {
  if (!wide || count == 0) return SetData(0, nullptr);
  if (count < 0) {
    count = 0;
    while (wide[count]) ++count;
    if (count == 0) return SetData(0, nullptr);
  }
  const int needed =
      win::WideCharToMultiByte(codepage, 0, wide, count, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return kErrTextConversion;
  int rc = SetData(needed, nullptr);
  if (rc != kOk) return rc;
  const int got =
      win::WideCharToMultiByte(codepage, 0, wide, count, data(), needed, nullptr, nullptr);
  if (got <= 0) {
    SetData(0, nullptr);
    return kErrTextConversion;
  }
  SetData(got, nullptr);
  return kOk;
}

template <int N>
const char* InlineString<N>::SetWideText(const char16_t* wide, unsigned codepage) {
  return SetWide(wide, codepage) == kOk ? data() : nullptr;
}

template <int N>
int InlineString<N>::SetWideFromText(const char* text, unsigned codepage) {
  if (!text) text = kEmptyText;
  const int units = win::MultiByteToWideChar(codepage, 0, text, -1, nullptr, 0);
  if (units <= 0) return kErrTextConversion;
  const int64_t bytes = static_cast<int64_t>(units) * 2;
  if (bytes >= INT32_MAX) return kErrOutOfMemory;
  // Convert aside: the text may be this string's own data.
  InlineString<N> out;
  int rc = out.SetData(static_cast<int>(bytes), nullptr);
  if (rc != kOk) return rc;
  const int got = win::MultiByteToWideChar(codepage, 0, text, -1,
                                           reinterpret_cast<char16_t*>(out.data()), units);
  if (got <= 0) return kErrTextConversion;
  out.SetData(got * 2, nullptr);
  *this = static_cast<InlineString<N>&&>(out);
  return kOk;
}

template class InlineString<99>;
template class InlineString<20>;
template class InlineString<30>;
template class InlineString<50>;
template class InlineString<1024>;
template class InlineString<4096>;
template class InlineString<16384>;

// WordArray

uint32_t WordArray::GetAt(int i) const {
  if (i < 0 || i >= Count()) return fill_;
  uint32_t v;
  std::memcpy(&v, words_.data() + static_cast<size_t>(i) * 4, 4);
  return v;
}

void WordArray::SetAt(int i, uint32_t v) {
  if (i < 0 || i >= Count()) return;
  std::memcpy(words_.data() + static_cast<size_t>(i) * 4, &v, 4);
}

int WordArray::Resize(int n) {
  if (n < 0) n = 0;
  const int64_t bytes = static_cast<int64_t>(n) * 4;
  if (bytes >= INT32_MAX) return kErrOutOfMemory;
  const int old = Count();
  int rc = words_.Resize(static_cast<int>(bytes));
  if (rc != kOk) return rc;
  for (int i = old; i < n; ++i) SetAt(i, fill_);
  return kOk;
}

int WordArray::Append(uint32_t v) {
  return words_.Append(&v, 4);
}

// DualText

const char16_t* DualText::ToWide(unsigned codepage) {
  const int n = text_.length();
  int units = 0;
  if (n > 0) {
    units = win::MultiByteToWideChar(codepage, 0, text_.data(), n, nullptr, 0);
    if (units <= 0 || static_cast<int64_t>(units) * 2 + 2 >= INT32_MAX) {
      wide_.Reset();
      return kEmptyWide;
    }
  }
  if (wide_.SetData(units * 2 + 2, nullptr) != kOk) {
    wide_.Reset();
    return kEmptyWide;
  }
  char16_t* w = reinterpret_cast<char16_t*>(wide_.data());
  if (n > 0 && win::MultiByteToWideChar(codepage, 0, text_.data(), n, w, units) != units) {
    wide_.Reset();
    return kEmptyWide;
  }
  w[units] = 0;
  return w;
}

int DualText::SetMultiByte(const char* text) {
  text_.Reset();
  wide_.Reset();
  return text_.SetText(text);
}

const char* DualText::ToMultiByte(unsigned codepage) {
  if (text_.empty() && wide_.length() >= 2) {
    int units = wide_.length() / 2;
    const char16_t* w = reinterpret_cast<const char16_t*>(wide_.data());
    while (units > 0 && w[units - 1] == 0) --units;
    if (units > 0) text_.SetWideN(w, units, codepage);
  }
  return text_.data();
}

const char16_t* DualText::SetAndWiden(const char* text, unsigned codepage) {
  if (SetMultiByte(text) != kOk) return nullptr;
  return ToWide(codepage);
}

}  // namespace tw
