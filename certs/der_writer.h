// An appending DER writer: primitive elements are written whole, constructed elements are
// opened and closed, their lengths filled in at the close.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class DerWriter {
 public:
  ByteString& output() { return out_; }
  const ByteString& output() const { return out_; }
  int OpenCount() const { return stack_.length() / 4; }
  void Reset() {
    out_.Reset();
    stack_.Reset();
  }

  // Tag, minimal length and the bytes; length -1 takes the text up to its NUL.
  int DerAppendTlv(int tag, const void* bytes, int length);
  // A signed value in the fewest two's-complement bytes.
  int DerAppendInteger(int tag, int32_t value);
  // INTEGER of a big-endian magnitude, with a 00 in front when its top bit is set; 445 when empty.
  int DerAppendUnsignedInteger(const void* bytes, int length);
  int DerAppendBitString(int tag, const void* bytes, int length);
  int DerAppendBoolean(int tag, bool flag);
  // A dotted numeric text as object identifier content; 445 for anything else.
  int DerAppendOid(int tag, const char* text);
  int DerAppendNull(int tag);
  // Bytes that already are DER, as they stand.
  int AppendRaw(const void* bytes, int length) { return out_.Append(bytes, length); }

  int DerOpenConstructed(int tag);
  // Closes the innermost open element: definite length, or 00 00 after an indefinite one.
  int DerCloseConstructed(bool indefinite);

  // The whole output becomes the content of one element.
  int DerWrapAll(int tag);
  // The same with a fixed two-byte length form; 445 for 65536 bytes or more.
  int DerWrapContent(int tag);

 private:
  int AppendHeader(int tag, uint64_t length);

  ByteString out_;
  ByteString stack_;  // 32-bit start offsets of the open elements
};

// The minimal DER length bytes of n (1 to 5 bytes); returns their count.
int DerLengthBytes(uint64_t n, uint8_t out[5]);

}  // namespace tw
