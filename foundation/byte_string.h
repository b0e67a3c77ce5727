// The one string and byte-buffer type of the system, and its siblings with other inline sizes.
//
// A string holds its bytes inline while they fit (no heap traffic for short texts) and in a heap
// block beyond that, whose capacity grows to one and a half times the requested length and never
// shrinks while on the heap. The bytes are always followed by a NUL that the length does not
// count; embedded NULs are allowed. Operations that can fail return 0 or an error code (200 out of
// memory); the string stays valid. All storage comes from win::HeapAlloc, so a test can make any
// allocation fail.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace tw {

constexpr int kOk = 0;
constexpr int kErrOutOfMemory = 200;
constexpr int kErrIndexOutOfRange = 432;
constexpr int kErrTextConversion = 434;

// The process-wide ZeroMemory switch: when on, storage is zero-filled before it is released.
bool ZeroMemoryEnabled();
void SetZeroMemory(bool on);

// Fills n bytes with zero in a way the compiler will not drop.
void WipeBytes(void* p, size_t n);

template <int N>
class InlineString {
 public:
  static constexpr int kInline = N;  // usable inline bytes

  InlineString() { ResetFields(); }
  explicit InlineString(const char* text) {
    ResetFields();
    SetText(text);
  }
  InlineString(const InlineString& other) {
    ResetFields();
    Set(other.data(), other.length());
  }
  // Takes over the other string's heap block; the other is left empty.
  InlineString(InlineString&& other) noexcept {
    ResetFields();
    TakeFrom(other);
  }
  InlineString& operator=(const InlineString& other) {
    if (this != &other) Set(other.data(), other.length());
    return *this;
  }
  InlineString& operator=(InlineString&& other) noexcept {
    if (this != &other) {
      Reset();
      TakeFrom(other);
    }
    return *this;
  }
  ~InlineString() { Reset(); }

  // A string holding a NUL-terminated text, or a copy of another string.
  static InlineString FromText(const char* text) { return InlineString(text); }
  static InlineString FromString(const InlineString& other) { return InlineString(other); }

  // Frees the heap block (wiping when ZeroMemory is on) and empties the string.
  void Reset();

  // The core of every set, append and resize: n bytes from source, or (null source) a resize
  // that keeps the first min(n, length) bytes. The source may lie inside this string.
  int SetData(int n, const void* source);

  const char* data() const { return heap_ ? heap_ : inline_; }
  char* data() { return heap_ ? heap_ : inline_; }
  const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(data()); }
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(data()); }
  const char* c_str() const { return data(); }
  int length() const { return length_; }
  int capacity() const { return capacity_; }
  bool empty() const { return length_ == 0; }
  bool OnHeap() const { return heap_ != nullptr; }

  // Set and append.
  int Set(const void* source, int n);
  int SetText(const char* text);
  int Append(const void* source, int n);
  int AppendText(const char* text);
  template <int M>
  int AppendString(const InlineString<M>& other) {
    return Append(other.data(), other.length());
  }
  template <int M>
  int Assign(const InlineString<M>& other) {
    return Set(other.data(), other.length());
  }
  int AppendByte(uint8_t b) { return Append(&b, 1); }
  int AppendUInt(uint32_t v);
  int AppendInt(int32_t v);
  int AppendDecimal(int32_t v) { return AppendInt(v); }
  int AppendHex(uint32_t v);
  int AppendInt64(int64_t v);
  int SetInt64(int64_t v);
  int AppendRepeated(int n, uint8_t b);
  // 16 bytes a line: prefix, "%08X" offset, hex column, text column; lines joined by CR LF.
  int AppendHexDump(const void* bytes, int n, const char* prefix);
  int AppendQuoted(const char* text);
  // printf-style into a 1024-byte scratch area: output beyond 1023 characters is cut.
  int Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int FormatV(const char* format, va_list args);
  int AppendFormatV(const char* format, va_list args);

  // Access and shape.
  const char* PtrAt(int i) const;  // "" out of range
  uint8_t ByteAt(int i) const;     // 0 out of range
  int Resize(int n);               // gained bytes are zero
  // Room for n bytes on the heap, taken at once and not touched; the bytes stay. (A string cut
  // back to the inline size goes back inline, as ever.)
  int Reserve(int n);
  void PopBack();
  void EraseFront(int n);
  int Slice(int from, int to);  // keeps bytes [from, to); 432 for a bad range
  void TrimChar(uint8_t b);
  void Trim();  // removes leading and trailing bytes 0x00..0x20
  void TrimSpace() { Trim(); }
  void ToLower();
  void ToUpper();
  void SwapBytePairs();
  int FixLeadingZero(int n);
  void StripLeadingZero();
  int ReplaceAllText(const char* find, const char* repl);

  // Comparison and search.
  template <int M>
  int Equals(const InlineString<M>& other) const {
    return EqualsBytes(other.data(), other.length());
  }
  template <int M>
  int IsEqual(const InlineString<M>& other) const {
    return Equals(other);
  }
  int EqualsBytes(const void* p, int n) const;  // n -1: compare as NUL-terminated texts
  int EqualsNoCase(const char* text) const;
  int StartsWith(const char* text) const;
  int EndsWith(const char* text) const;
  int FindChar(uint8_t b, int start) const;
  int FindLastChar(uint8_t b, int start) const;
  int Find(const char* text, int start) const;
  int FindBytes(const void* p, int n, int start) const;
  int Contains(const char* text) const { return Find(text, 0) >= 0; }

  // Wide text (UTF-16 as char16_t) through the platform's code-page conversion.
  // SetWide counts the terminating NUL of the conversion in the length.
  int SetWide(const char16_t* wide, unsigned codepage);
  int SetWideN(const char16_t* wide, int count, unsigned codepage);
  const char* SetWideText(const char16_t* wide, unsigned codepage);  // data or null
  // The UTF-16 form of a text, its 2-byte NUL counted in the length.
  int SetWideFromText(const char* text, unsigned codepage);
  const char16_t* wide() const { return reinterpret_cast<const char16_t*>(data()); }

 private:
  void ResetFields() {
    heap_ = nullptr;
    length_ = 0;
    capacity_ = N;
    inline_[0] = 0;
    inline_[1 < N ? 1 : 0] = 0;
    inline_[N] = 0;
  }
  void FreeHeap(int wipe_bytes);
  void TakeFrom(InlineString& other);

  // Aligned so that UTF-16 text can live inline.
  alignas(8) char inline_[N + 1];
  char* heap_;
  int32_t length_;
  int32_t capacity_;
};

extern template class InlineString<99>;
extern template class InlineString<20>;
extern template class InlineString<30>;
extern template class InlineString<50>;
extern template class InlineString<1024>;
extern template class InlineString<4096>;
extern template class InlineString<16384>;

using ByteString = InlineString<99>;
using ShortString = InlineString<20>;
using InlineBuffer30 = InlineString<30>;
using InlineBuffer50 = InlineString<50>;
using InlineBuffer1024 = InlineString<1024>;
using InlineBuffer4096 = InlineString<4096>;
using InlineBuffer16K = InlineString<16384>;

// Wipes a string's whole storage (the used bytes and any left over from earlier contents) and
// frees it; for keys, IVs, passwords and derived secrets, whatever the ZeroMemory switch says.
template <int N>
void WipeString(InlineString<N>& s) {
  WipeBytes(s.data(), static_cast<size_t>(s.capacity()));
  s.Reset();
}

// A ByteString used as an array of 32-bit words with a fill value for new and missing words.
class WordArray {
 public:
  explicit WordArray(uint32_t fill = 0) : fill_(fill) {}
  int Count() const { return words_.length() / 4; }
  uint32_t GetAt(int i) const;
  void SetAt(int i, uint32_t v);
  int Resize(int n);
  int Append(uint32_t v);
  uint32_t fill() const { return fill_; }
  void set_fill(uint32_t v) { fill_ = v; }

 private:
  ByteString words_;
  uint32_t fill_;
};

// A text and its UTF-16 form.
class DualText {
 public:
  const char16_t* ToWide(unsigned codepage);
  int SetMultiByte(const char* text);
  const char* ToMultiByte(unsigned codepage);
  const char16_t* SetAndWiden(const char* text, unsigned codepage);  // null when the set fails
  ByteString& text() { return text_; }
  ByteString& wide() { return wide_; }

 private:
  ByteString text_;
  ByteString wide_;
};

struct TaggedString {
  uint32_t tag = 0;
  ByteString text;
  int Assign(const TaggedString& other) {
    tag = other.tag;
    return text.Assign(other.text);
  }
};

struct TaggedValue {
  ByteString text;
  uint32_t value = 0;
};

struct StringTriple {
  ByteString first, second, third;
  void Clear() {
    first.Reset();
    second.Reset();
    third.Reset();
  }
};

}  // namespace tw
