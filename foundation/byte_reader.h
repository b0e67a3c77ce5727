// One cursor type for binary records in both directions: BufferWriter appends big-endian fields
// and patches length fields written earlier; ByteReader walks a received record field by field
// and never reads past its end (1080). Beside them, plain byte-order functions on raw memory.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/span_reader.h"

namespace tw {

constexpr int kErrReadPastEnd = 1080;

// The storage shared by cursors: a reference count and the bytes.
struct SharedBuffer {
  int32_t refs = 1;
  ByteString data;
};

class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const void* bytes, int offset, int n) { SetBytes(bytes, offset, n); }
  explicit ByteReader(const ByteString& s) { SetBytes(s.data(), 0, s.length()); }
  ByteReader(const ByteReader& other) : position_(other.position_), buffer_(other.buffer_) {
    if (buffer_ != nullptr) ++buffer_->refs;
  }
  ByteReader& operator=(const ByteReader& other);
  ~ByteReader() { Release(); }

  // ---- State ----
  int SetBytes(const void* bytes, int offset, int n);
  // Takes the other's position and a copy of its bytes.
  int Assign(const ByteReader& other);
  void Clear();
  void Release();
  int EnsureBuffer();
  const uint8_t* Data() const;
  // The byte at offset and the count from there to the end ("" and 0 when none remain).
  const uint8_t* DataAt(int offset, int* available) const;
  int Length() const { return buffer_ != nullptr ? buffer_->data.length() : 0; }
  int position() const { return position_; }
  void set_position(int p) { position_ = p; }
  int Remaining() const { return Length() > position_ ? Length() - position_ : 0; }

  // ---- Writing (0 or 200) ----
  int WriteU8(uint32_t v);
  int WriteU16(uint32_t v);
  int WriteU24(uint32_t v);
  int WriteU32(uint32_t v);
  int WriteU64(uint64_t v);
  int WriteBytes(const void* bytes, int offset, int n);
  int WriteString(const ByteString& s) { return WriteBytes(s.data(), 0, s.length()); }
  int WriteReader(const ByteReader& other) { return WriteBytes(other.Data(), 0, other.Length()); }
  // Overwrites n bytes at position, growing the buffer first; the bytes of a gap are zero.
  int WriteAt(const void* bytes, int position, int n);
  int PutU16At(int position, uint32_t v);
  int PutU24At(int position, uint32_t v);

  // ---- Reading ----
  int CheckAvailable(int offset, int n) const;
  int CheckRemaining(int n) const { return CheckAvailable(position_, n); }
  int ReadU8(uint32_t* out);
  int ReadU16(uint32_t* out);
  int ReadU24(uint32_t* out);
  int ReadU32(uint32_t* out);
  int64_t NextU8() { return NextN(1); }
  int64_t NextU16() { return NextN(2); }
  int64_t NextU24() { return NextN(3); }
  int64_t NextU32() { return NextN(4); }
  int64_t PeekU8At(int offset) const { return PeekN(offset, 1); }
  int64_t PeekU16At(int offset) const { return PeekN(offset, 2); }
  int64_t PeekU24At(int offset) const { return PeekN(offset, 3); }
  // The next min(n, remaining) bytes; 1 when nothing remains (out unchanged).
  int ReadString(int n, ByteString& out);
  // A 4-byte length then that many bytes: -1 for a bad length, 1080 without the length.
  int ReadString32(ByteString& out);
  // A 4-byte bit count then its bytes; 1080 when they are not there.
  int ReadBitString(ByteString& out);
  // Copies min(n, remaining) bytes to dest + offset; the count copied.
  int ReadRaw(void* dest, int offset, int n);
  // Moves past n bytes: null when they are not all there (position unchanged).
  const uint8_t* Skip(int n);
  // n bytes from an absolute offset; 1080 when they are not all there.
  int CopyOut(int offset, int n, void* dest, int dest_offset) const;

 private:
  int Append(const void* bytes, int n);
  // The bytes from offset to the end; false when offset lies outside them.
  bool ViewAt(int offset, SpanReader* out) const;
  int64_t NextN(int n);
  int64_t PeekN(int offset, int n) const;
  int ReadN(int n, uint32_t* out);

  int32_t position_ = 0;
  SharedBuffer* buffer_ = nullptr;
};

using BufferWriter = ByteReader;

// ---- Byte-order and byte functions ----
void PutUIntBE(uint64_t value, void* buffer, int offset, int n);
uint32_t LoadUIntBE(const void* buffer, int offset, int n);
uint32_t LoadUIntBEBounded(const void* buffer, int length, int offset, int n);
uint64_t LoadUInt64BE(const void* bytes, int n);
uint64_t LoadUInt64LE(const void* bytes, int n);
uint32_t LoadUInt32LE(const void* buffer, int offset);
int PutUInt64LE(ByteString& out, uint64_t value, int n);
uint64_t ByteSwap64(uint64_t v);
uint32_t ByteSwapN(uint32_t v, int n);
void ReverseBytes(void* buffer, int n);
bool IsAllAscii(const void* bytes, int n);
inline bool HasNonAscii(const void* bytes, int n) { return !IsAllAscii(bytes, n); }
inline bool IsNullOrEmpty(const char* text) { return text == nullptr || *text == '\0'; }
int CountRun(const char* text);
void ReplaceByte(void* bytes, int n, uint8_t from, uint8_t to);
int FindBytes(const void* haystack, int n, const void* needle, int m);
// Optional sign, then decimal digits up to the first other character (a leading blank is one);
// no digits give 0, and a number past 32 bits wraps.
int32_t StrToInt(const char* text);
bool ParseIntBytes(const void* bytes, int n, int32_t* out);
// A record of three 32-bit words; CloneTriple returns a new copy (null when memory runs out).
struct WordTriple {
  uint32_t words[3] = {0, 0, 0};
};
WordTriple* CloneTriple(const WordTriple& record);

}  // namespace tw
