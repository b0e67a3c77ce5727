// A bounds-checked big-endian reader over the bytes of a keytab or credentials cache: every read
// fails instead of passing the end, and a failed read leaves the reader failed.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class KerberosFileReader {
 public:
  KerberosFileReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}

  bool ok() const { return ok_; }
  size_t remaining() const { return ok_ ? n_ - pos_ : 0; }
  size_t position() const { return pos_; }

  bool U8(uint32_t* v) { return Int(1, v); }
  bool U16(uint32_t* v) { return Int(2, v); }
  bool U32(uint32_t* v) { return Int(4, v); }
  bool Skip(size_t n) {
    if (!ok_ || n > n_ - pos_) return ok_ = false;
    pos_ += n;
    return true;
  }
  // n bytes into out; fails when fewer remain.
  bool Bytes(size_t n, ByteString* out) {
    if (!ok_ || n > n_ - pos_ || n > 0x7FFFFFFF) return ok_ = false;
    if (out->Set(p_ + pos_, static_cast<int>(n)) != kOk) return ok_ = false;
    pos_ += n;
    return true;
  }
  bool String16(ByteString* out) {
    uint32_t n = 0;
    return U16(&n) && Bytes(n, out);
  }
  bool String32(ByteString* out) {
    uint32_t n = 0;
    return U32(&n) && Bytes(n, out);
  }

 private:
  bool Int(int size, uint32_t* v) {
    if (!ok_ || static_cast<size_t>(size) > n_ - pos_) return ok_ = false;
    uint32_t r = 0;
    for (int i = 0; i < size; ++i) r = r << 8 | p_[pos_ + i];
    pos_ += static_cast<size_t>(size);
    *v = r;
    return true;
  }

  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace tw
