// A bounds-checked reader of the SSH wire encoding (uint32, string, mpint) used by every SSH and
// PuTTY key format. Each field read either succeeds whole or leaves the reader unmoved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/byte_string.h"

namespace tw {

class SshWireReader {
 public:
  SshWireReader() = default;
  SshWireReader(const void* data, size_t length) : p_(static_cast<const uint8_t*>(data)), n_(length) {}
  explicit SshWireReader(const ByteString& bytes) : SshWireReader(bytes.bytes(), static_cast<size_t>(bytes.length())) {}

  size_t left() const { return n_; }
  const uint8_t* data() const { return p_; }

  bool U32(uint32_t* v) {
    if (n_ < 4) return false;
    *v = (uint32_t{p_[0]} << 24) | (uint32_t{p_[1]} << 16) | (uint32_t{p_[2]} << 8) | p_[3];
    Skip(4);
    return true;
  }
  bool Bytes(size_t count, const uint8_t** out) {
    if (count > n_) return false;
    *out = p_;
    Skip(count);
    return true;
  }
  // A string may fill the remaining bytes exactly.
  bool String(std::string_view* out) {
    if (n_ < 4) return false;
    const size_t len = (size_t{p_[0]} << 24) | (size_t{p_[1]} << 16) | (size_t{p_[2]} << 8) | p_[3];
    if (len > n_ - 4) return false;
    *out = std::string_view(reinterpret_cast<const char*>(p_ + 4), len);
    Skip(4 + len);
    return true;
  }
  bool String(ByteString* out) {
    std::string_view s;
    return String(&s) && out->Set(s.data(), static_cast<int>(s.size())) == kOk;
  }
  // A string as a reader of its own.
  bool Sub(SshWireReader* sub) {
    std::string_view s;
    if (!String(&s)) return false;
    *sub = SshWireReader(s.data(), s.size());
    return true;
  }
  // A non-negative mpint as its magnitude without leading zero bytes; a negative one fails.
  bool Mpint(ByteString* out) {
    std::string_view s;
    const uint8_t* const at = p_;
    const size_t had = n_;
    if (!String(&s) || (!s.empty() && (static_cast<uint8_t>(s[0]) & 0x80) != 0)) {
      p_ = at;
      n_ = had;
      return false;
    }
    while (!s.empty() && s[0] == 0) s.remove_prefix(1);
    return out->Set(s.data(), static_cast<int>(s.size())) == kOk;
  }

 private:
  void Skip(size_t k) {
    p_ += k;
    n_ -= k;
  }
  const uint8_t* p_ = nullptr;
  size_t n_ = 0;
};

// The curve id of an SSH curve name ("nistp256", "nistp384", "nistp521", any case), or
// kCurveNone.
int SshCurveId(std::string_view name);

// Decrypts data in place with AES (key of 16, 24 or 32 bytes, 16-byte IV) in CBC or CTR mode,
// no padding removed. 0, or the cipher's code (2003 for data that is no whole number of blocks).
int SshAesDecrypt(int mode, const uint8_t* key, int key_length, const uint8_t* iv, ByteString* data);

}  // namespace tw
