// Bounds-checked reading of TLS wire data: a view that hands out values and sub-views and never
// reads past its end. A failed read leaves the view as it was and returns false.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

class TlsReader {
 public:
  TlsReader() = default;
  TlsReader(const uint8_t* data, size_t length) : data_(data), length_(length) {}

  const uint8_t* data() const { return data_; }
  size_t remaining() const { return length_; }
  bool empty() const { return length_ == 0; }

  bool ReadU8(uint8_t* out) {
    uint32_t v = 0;
    if (!ReadBigEndian(1, &v)) return false;
    *out = static_cast<uint8_t>(v);
    return true;
  }
  bool ReadU16(uint16_t* out) {
    uint32_t v = 0;
    if (!ReadBigEndian(2, &v)) return false;
    *out = static_cast<uint16_t>(v);
    return true;
  }
  bool ReadU24(uint32_t* out) { return ReadBigEndian(3, out); }
  // n bytes as a sub-view.
  bool ReadBytes(size_t n, TlsReader* out) {
    if (n > length_) return false;
    *out = TlsReader(data_, n);
    Skip(n);
    return true;
  }
  bool Skip(size_t n) {
    if (n > length_) return false;
    data_ += n;
    length_ -= n;
    return true;
  }
  // A field led by a big-endian length of prefix_bytes (1 to 3).
  bool ReadPrefixed(int prefix_bytes, TlsReader* out) {
    TlsReader copy = *this;
    uint32_t n = 0;
    if (!copy.ReadBigEndian(prefix_bytes, &n) || !copy.ReadBytes(n, out)) return false;
    *this = copy;
    return true;
  }

 private:
  bool ReadBigEndian(int n, uint32_t* out) {
    if (n < 1 || n > 4 || static_cast<size_t>(n) > length_) return false;
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | data_[i];
    *out = v;
    Skip(static_cast<size_t>(n));
    return true;
  }

  const uint8_t* data_ = nullptr;
  size_t length_ = 0;
};

}  // namespace tw
