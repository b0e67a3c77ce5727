// Reading ASN.1 DER and BER: a bounds-checked cursor over elements, the element readers that
// work by element position, the BER element parser and the signature (r, s) reader.
//
// Nothing here knows a schema; callers walk positions and tags themselves. Lengths are checked
// in 64 bits against the bytes that remain, so no header can point outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/span_reader.h"

namespace tw {

constexpr int kErrDerWrite = 445;       // a header could not be placed, or nothing is open
constexpr int kErrDerMalformed = 446;   // malformed or undecodable element
constexpr int kErrDerIncomplete = 447;  // no complete element where one is expected

// Nesting depth beyond which BER and tree walks give up, so hostile input cannot exhaust the stack.
constexpr int kDerMaxDepth = 64;
// Arcs kept of one object identifier; later ones are ignored.
constexpr int kOidMaxArcs = 256;

// A read-only view of bytes with a definite-length element reader on top of SpanReader.
class DerCursor {
 public:
  DerCursor() = default;
  DerCursor(const void* p, size_t n) : bytes_(p, n) {}
  explicit DerCursor(const SpanReader& bytes) : bytes_(bytes) {}
  template <int N>
  explicit DerCursor(const InlineString<N>& s) : bytes_(s) {}

  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.remaining(); }
  bool empty() const { return bytes_.empty(); }

  // Takes the next element: its tag, its content and (optional) the whole element.
  // 447 when nothing or an incomplete element remains; 446 for a refused tag or length form.
  int Next(uint8_t* tag, DerCursor* content, DerCursor* element = nullptr);
  // The next element without taking it.
  int Peek(uint8_t* tag, DerCursor* content, DerCursor* element = nullptr) const;
  // Skips n whole elements: 446 when one of them is incomplete or refused.
  int SkipElements(int n);
  // Next, and 446 when the element taken carries another tag than want.
  int NextTagged(uint8_t want, DerCursor* content, DerCursor* element = nullptr);
  // The next element as a non-negative INTEGER of at most four content bytes (see DerSmallUnsigned).
  int NextSmallUnsigned(uint32_t* value);
  // The next element as a non-negative INTEGER's magnitude without leading zero bytes (one kept
  // for zero): 446 for another tag, an empty content or a negative value.
  int NextUnsigned(ByteString* magnitude);
  // The next element as an OBJECT IDENTIFIER, in dotted text: 446 for another tag or a bad value.
  int NextOid(ByteString* text);
  // Takes the next BER element, of definite or indefinite length (an end-of-contents marker is an
  // element of tag 0 and no content): 447 when it is incomplete, its length is 2^31 or more, or
  // indefinite lengths nest deeper than kDerMaxDepth.
  int NextBer(uint8_t* tag, DerCursor* content, DerCursor* element = nullptr);

 private:
  SpanReader bytes_;
};

// An INTEGER's content as an unsigned number of at most max_bytes (1 to 4): 446 when it is empty
// or longer, or, unless sign_bit_ok, when its sign bit is set.
int DerSmallUnsigned(const DerCursor& content, uint32_t* value, size_t max_bytes = 4, bool sign_bit_ok = false);

// Total size of the element at the start, 0 when it is not complete or its header is refused.
size_t DerElementLength(const uint8_t* bytes, size_t available);

// Element n of consecutive elements: content and tag.
int DerReadElementAt(const ByteString& der, int n, ByteString* content, int* tag);
// Element n's content as a signed 32-bit INTEGER (any tag).
int DerReadIntAt(const ByteString& der, int n, int32_t* value, int* tag);
// Content of INTEGER (tag 2) element n without one leading 00 byte.
int DerReadIntegerBytesAt(const ByteString& der, int n, ByteString* out);
// Element n's content as a dotted object identifier.
int DerReadOidAt(const ByteString& der, int n, ByteString* text, int* tag);
// Element n's content without its unused-bits byte; bit_length counts the bits used.
int DerReadBitStringAt(const ByteString& der, int n, ByteString* bytes, int* bit_length, int* tag);
// Drops the header of the first element from the front of the buffer.
int DerUnwrap(ByteString* buffer, int* tag);

// Object identifier content to dotted text: 446 for an empty content, an arc above 32 bits, a
// non-minimal arc or a last byte that announces more.
int DerOidToText(const uint8_t* content, size_t n, ByteString* text);
// BIT STRING content to its bytes: 446 when empty or with more than 7 unused bits.
int DerBitStringBytes(const DerCursor& content, DerCursor* bytes, int* unused_bits);

// SEQUENCE { INTEGER r, INTEGER s } of a signature value; the integers as they stand.
bool ParseDerSignatureRS(const uint8_t* bytes, int length, ByteString* r, ByteString* s);

// One BER element found by ParseBerElement, as offsets into the buffer.
struct BerElement {
  uint8_t tag = 0;
  size_t content_start = 0;
  size_t content_end = 0;
  size_t element_start = 0;
  size_t next = 0;
};
// DerCursor::NextBer at buffer[position], for an element that must end within `end`.
bool ParseBerElement(const uint8_t* buffer, size_t position, size_t end, BerElement* out);
// True when the buffer holds exactly one element that fills it and is no end-of-contents marker.
bool IsSingleElement(const uint8_t* buffer, size_t length);

}  // namespace tw
