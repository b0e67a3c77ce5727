// Building TLS wire data: values are appended to a ByteString, and a length-prefixed field is
// opened, filled and closed, at which point its prefix is written. No offsets are computed by
// callers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrTlsFieldTooLong = 202;

class TlsWriter {
 public:
  explicit TlsWriter(ByteString& out) : out_(out) {}

  // A field whose big-endian length of prefix_bytes (1 to 3) is written when it closes.
  struct Field {
    int start = 0;
    int prefix = 0;
  };

  void U8(uint8_t v) { Put(v, 1); }
  void U16(uint16_t v) { Put(v, 2); }
  void U24(uint32_t v) { Put(v, 3); }
  void Bytes(const void* p, size_t n) {
    if (n > 0 && rc_ == kOk) rc_ = out_.Append(p, static_cast<int>(n));
  }
  void Bytes(const ByteString& s) { Bytes(s.data(), static_cast<size_t>(s.length())); }
  void Text(const char* s);

  Field Open(int prefix_bytes) {
    Field f{out_.length(), prefix_bytes};
    Put(0, prefix_bytes);
    return f;
  }
  // Writes the field's length; a body too long for its prefix fails the writer.
  void Close(const Field& f) {
    if (rc_ != kOk) return;
    const size_t n = static_cast<size_t>(out_.length() - f.start - f.prefix);
    if (n >= (size_t{1} << (8 * f.prefix))) {
      rc_ = kErrTlsFieldTooLong;
      return;
    }
    uint8_t* p = out_.bytes() + f.start;
    for (int i = f.prefix - 1; i >= 0; --i) p[f.prefix - 1 - i] = static_cast<uint8_t>(n >> (8 * i));
  }

  // 0, or the first failure (200 out of memory, or a field too long for its prefix).
  int rc() const { return rc_; }

 private:
  void Put(uint32_t v, int n) {
    for (int i = n - 1; i >= 0 && rc_ == kOk; --i) rc_ = out_.AppendByte(static_cast<uint8_t>(v >> (8 * i)));
  }

  ByteString& out_;
  int rc_ = kOk;
};

inline void TlsWriter::Text(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  Bytes(s, n);
}

}  // namespace tw
