// The one bounds-checked reader of peer and file bytes: a view that hands out integers in either
// byte order, raw runs and sub-views (n bytes, or a field led by its length), and never reads past
// its end. A failed read returns false and leaves the view as it was, so a caller can try another
// form or report its own error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/byte_string.h"

namespace tw {

class SpanReader {
 public:
  SpanReader() = default;
  SpanReader(const uint8_t* data, size_t length) : data_(data), length_(length) {}
  SpanReader(const void* data, size_t length) : data_(static_cast<const uint8_t*>(data)), length_(length) {}
  template <int N>
  explicit SpanReader(const InlineString<N>& s) : data_(s.bytes()), length_(static_cast<size_t>(s.length())) {}

  const uint8_t* data() const { return data_; }
  size_t remaining() const { return length_; }
  bool empty() const { return length_ == 0; }

  bool ReadU8(uint8_t* out) { return ReadInt(1, true, out); }
  bool ReadU16(uint16_t* out) { return ReadInt(2, true, out); }
  bool ReadU24(uint32_t* out) { return ReadInt(3, true, out); }
  bool ReadU32(uint32_t* out) { return ReadInt(4, true, out); }
  bool ReadU64(uint64_t* out) { return ReadInt(8, true, out); }
  bool ReadU16Le(uint16_t* out) { return ReadInt(2, false, out); }
  bool ReadU32Le(uint32_t* out) { return ReadInt(4, false, out); }
  bool ReadU64Le(uint64_t* out) { return ReadInt(8, false, out); }
  // An integer of n (1 to 8) bytes, big-endian.
  bool ReadUIntBe(int n, uint64_t* out) { return n >= 1 && n <= 8 && ReadInt(n, true, out); }
  bool PeekU8(uint8_t* out) const {
    if (length_ == 0) return false;
    *out = data_[0];
    return true;
  }

  bool Skip(size_t n) {
    if (n > length_) return false;
    data_ += n;
    length_ -= n;
    return true;
  }
  // n bytes as a sub-view.
  bool ReadBytes(size_t n, SpanReader* out) {
    if (n > length_) return false;
    *out = SpanReader(data_, n);
    return Skip(n);
  }
  // n bytes copied out.
  bool CopyBytes(void* out, size_t n) {
    if (n > length_) return false;
    if (n > 0) std::memcpy(out, data_, n);
    return Skip(n);
  }
  // n bytes into a string (replacing what it held); false also when memory runs out.
  template <int N>
  bool ReadString(size_t n, InlineString<N>* out) {
    if (n > length_ || out->Set(data_, static_cast<int>(n)) != kOk) return false;
    return Skip(n);
  }
  // A field led by its length of prefix_bytes (1 to 4), big-endian.
  bool ReadPrefixed(int prefix_bytes, SpanReader* out) { return ReadPrefixedIn(prefix_bytes, true, out); }
  bool ReadPrefixedLe(int prefix_bytes, SpanReader* out) { return ReadPrefixedIn(prefix_bytes, false, out); }
  // The last n bytes as a sub-view; this view keeps what precedes them (a trailer such as a MAC
  // or padding).
  bool ReadTail(size_t n, SpanReader* out) {
    if (n > length_) return false;
    length_ -= n;
    *out = SpanReader(data_ + length_, n);
    return true;
  }
  // n bytes at an offset from the start of this view, without moving it (records whose fields
  // point into the message, as NTLM's do).
  bool SubAt(size_t offset, size_t n, SpanReader* out) const {
    if (offset > length_ || n > length_ - offset) return false;
    *out = SpanReader(data_ + offset, n);
    return true;
  }

 private:
  template <typename T>
  bool ReadInt(int n, bool big_endian, T* out) {
    if (static_cast<size_t>(n) > length_) return false;
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
      const int k = big_endian ? i : n - 1 - i;
      v = (v << 8) | data_[k];
    }
    *out = static_cast<T>(v);
    return Skip(static_cast<size_t>(n));
  }
  bool ReadPrefixedIn(int prefix_bytes, bool big_endian, SpanReader* out) {
    if (prefix_bytes < 1 || prefix_bytes > 4) return false;
    SpanReader copy = *this;
    uint32_t n = 0;
    if (!copy.ReadInt(prefix_bytes, big_endian, &n) || !copy.ReadBytes(n, out)) return false;
    *this = copy;
    return true;
  }

  const uint8_t* data_ = nullptr;
  size_t length_ = 0;
};

}  // namespace tw
