// The one writer of wire and file records: values are appended to a ByteString, and a field led
// by its length is opened, filled and closed, at which point its length is written. Callers
// compute no offsets. The first failure sticks and every later call does nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrFieldTooLong = 202;

class SpanWriter {
 public:
  explicit SpanWriter(ByteString& out) : out_(out) {}

  struct Field {
    int start = 0;
    int prefix = 0;
    bool big_endian = true;
  };

  void U8(uint8_t v) { Put(v, 1, true); }
  void U16(uint16_t v) { Put(v, 2, true); }
  void U24(uint32_t v) { Put(v, 3, true); }
  void U32(uint32_t v) { Put(v, 4, true); }
  void U64(uint64_t v) { Put(v, 8, true); }
  void U16Le(uint16_t v) { Put(v, 2, false); }
  void U32Le(uint32_t v) { Put(v, 4, false); }
  void U64Le(uint64_t v) { Put(v, 8, false); }
  void Bytes(const void* p, size_t n) {
    if (n > 0 && rc_ == kOk) rc_ = out_.Append(p, static_cast<int>(n));
  }
  void Bytes(const ByteString& s) { Bytes(s.data(), static_cast<size_t>(s.length())); }
  void Text(const char* s) { Bytes(s, std::char_traits<char>::length(s)); }
  void Zeros(size_t n) {
    if (n > 0 && rc_ == kOk) rc_ = out_.AppendRepeated(static_cast<int>(n), 0);
  }
  // The length of the string written to, which is where the next byte lands.
  int length() const { return out_.length(); }

  // A field whose length of prefix_bytes (1 to 4) is written when it closes.
  Field Open(int prefix_bytes) { return OpenIn(prefix_bytes, true); }
  Field OpenLe(int prefix_bytes) { return OpenIn(prefix_bytes, false); }
  // Writes the field's length; a body too long for its prefix fails the writer.
  void Close(const Field& f) {
    if (rc_ != kOk) return;
    const uint64_t n = static_cast<uint64_t>(out_.length() - f.start - f.prefix);
    if (f.prefix < 8 && n >= (uint64_t{1} << (8 * f.prefix))) {
      rc_ = kErrFieldTooLong;
      return;
    }
    uint8_t* p = out_.bytes() + f.start;
    for (int i = 0; i < f.prefix; ++i) {
      const int shift = f.big_endian ? 8 * (f.prefix - 1 - i) : 8 * i;
      p[i] = static_cast<uint8_t>(n >> shift);
    }
  }

  // n zero bytes held for a value known only later, such as a field that points at data still
  // to come; Fill writes it.
  Field Reserve(int n) {
    Field f{out_.length(), n, true};
    Zeros(static_cast<size_t>(n));
    return f;
  }
  // Writes n bytes over the start of a reserved run; more than it holds fails the writer.
  void Fill(const Field& f, const void* p, size_t n) {
    if (rc_ != kOk) return;
    if (n > static_cast<size_t>(f.prefix)) {
      rc_ = kErrFieldTooLong;
      return;
    }
    if (n > 0) std::memcpy(out_.bytes() + f.start, p, n);
  }
  void Fill(const Field& f, const ByteString& s) { Fill(f, s.data(), static_cast<size_t>(s.length())); }

  // Fails the writer as a field too long for its prefix would, for lengths kept elsewhere.
  void FailTooLong() {
    if (rc_ == kOk) rc_ = kErrFieldTooLong;
  }
  // 0, or the first failure (200 out of memory, or a field too long for its prefix).
  int rc() const { return rc_; }

 private:
  Field OpenIn(int prefix_bytes, bool big_endian) {
    Field f{out_.length(), prefix_bytes, big_endian};
    Put(0, prefix_bytes, true);
    return f;
  }
  void Put(uint64_t v, int n, bool big_endian) {
    for (int i = 0; i < n && rc_ == kOk; ++i) {
      const int shift = big_endian ? 8 * (n - 1 - i) : 8 * i;
      rc_ = out_.AppendByte(static_cast<uint8_t>(v >> shift));
    }
  }

  ByteString& out_;
  int rc_ = kOk;
};

}  // namespace tw
