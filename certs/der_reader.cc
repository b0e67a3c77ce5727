#include "certs/der_reader.h"

#include <cstring>

namespace tw {

namespace {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOid = 0x06;

// Leading zero bytes off, down to keep bytes.
void DropZeros(SpanReader* r, size_t keep) {
  uint8_t b = 0;
  while (r->remaining() > keep && r->PeekU8(&b) && b == 0) r->Skip(1);
}

// Takes one definite-length element from in. The element family refuses the high tag form, the
// indefinite form and length forms above four bytes; in is left as it was on failure.
int TakeElement(SpanReader* in, uint8_t* tag, SpanReader* content) {
  SpanReader r = *in;
  uint8_t t = 0, lb = 0;
  if (!r.ReadU8(&t) || !r.ReadU8(&lb)) return kErrDerIncomplete;
  if ((t & 0x1F) == 0x1F) return kErrDerMalformed;
  if (lb < 0x80) {
    if (!r.ReadBytes(lb, content)) return kErrDerIncomplete;
  } else {
    const int k = lb & 0x7F;
    if (k == 0 || k > 4) return kErrDerMalformed;
    if (!r.ReadPrefixed(k, content)) return kErrDerIncomplete;
  }
  *tag = t;
  *in = r;
  return kOk;
}

// Finds element n: 446 when an element before it is bad, 447 when it is missing or incomplete.
int FindAt(const ByteString& der, int n, uint8_t* tag, DerCursor* content) {
  DerCursor c(der);
  if (n < 0) return kErrDerIncomplete;
  int rc = c.SkipElements(n);
  if (rc != kOk) return rc;
  rc = c.Next(tag, content);
  return rc == kErrDerMalformed ? kErrDerMalformed : (rc != kOk ? kErrDerIncomplete : kOk);
}

}  // namespace

int DerCursor::Peek(uint8_t* tag, DerCursor* content, DerCursor* element) const {
  SpanReader rest = bytes_, body;
  uint8_t t = 0;
  const int rc = TakeElement(&rest, &t, &body);
  if (rc != kOk) return rc;
  if (tag) *tag = t;
  if (content) *content = DerCursor(body);
  if (element) *element = DerCursor(data(), size() - rest.remaining());
  return kOk;
}

int DerCursor::Next(uint8_t* tag, DerCursor* content, DerCursor* element) {
  DerCursor whole;
  int rc = Peek(tag, content, &whole);
  if (rc != kOk) return rc;
  if (element) *element = whole;
  bytes_.Skip(whole.size());
  return kOk;
}

int DerCursor::SkipElements(int n) {
  for (int i = 0; i < n; ++i) {
    if (Next(nullptr, nullptr) != kOk) return kErrDerMalformed;
  }
  return kOk;
}

int DerCursor::NextTagged(uint8_t want, DerCursor* content, DerCursor* element) {
  uint8_t tag = 0;
  const int rc = Next(&tag, content, element);
  if (rc != kOk) return rc;
  return tag == want ? kOk : kErrDerMalformed;
}

int DerCursor::NextSmallUnsigned(uint32_t* value) {
  DerCursor v;
  const int rc = NextTagged(kTagInteger, &v);
  return rc != kOk ? rc : DerSmallUnsigned(v, value);
}

int DerCursor::NextUnsigned(ByteString* magnitude) {
  DerCursor v;
  const int rc = NextTagged(kTagInteger, &v);
  if (rc != kOk) return rc;
  if (v.empty() || (v.data()[0] & 0x80)) return kErrDerMalformed;
  DropZeros(&v.bytes_, 1);
  return magnitude->Set(v.data(), static_cast<int>(v.size()));
}

int DerCursor::NextOid(ByteString* text) {
  DerCursor v;
  const int rc = NextTagged(kTagOid, &v);
  return rc != kOk ? rc : DerOidToText(v.data(), v.size(), text);
}

int DerSmallUnsigned(const DerCursor& content, uint32_t* value, size_t max_bytes, bool sign_bit_ok) {
  if (content.empty() || content.size() > max_bytes || (!sign_bit_ok && (content.data()[0] & 0x80))) {
    return kErrDerMalformed;
  }
  uint32_t v = 0;
  for (size_t i = 0; i < content.size(); ++i) v = (v << 8) | content.data()[i];
  *value = v;
  return kOk;
}

size_t DerElementLength(const uint8_t* bytes, size_t available) {
  if (!bytes) return 0;
  const DerCursor all(bytes, available);
  DerCursor element;
  return all.Peek(nullptr, nullptr, &element) == kOk ? element.size() : 0;
}

int DerReadElementAt(const ByteString& der, int n, ByteString* content, int* tag) {
  uint8_t t = 0;
  DerCursor c;
  int rc = FindAt(der, n, &t, &c);
  if (rc != kOk) return rc;
  if (tag) *tag = t;
  return content->Set(c.data(), static_cast<int>(c.size()));
}

int DerReadIntAt(const ByteString& der, int n, int32_t* value, int* tag) {
  uint8_t t = 0;
  DerCursor c;
  int rc = FindAt(der, n, &t, &c);
  if (rc != kOk) return rc;
  // Zeros in front of a longer value are dropped; what remains is read as signed.
  SpanReader digits(c.data(), c.size());
  DropZeros(&digits, 4);
  uint32_t v = 0;
  uint8_t first = 0;
  if (digits.PeekU8(&first)) {
    rc = DerSmallUnsigned(DerCursor(digits), &v, 4, true);
    if (rc != kOk) return rc;
    if (digits.remaining() < 4 && (first & 0x80)) v |= 0xFFFFFFFFu << (8 * digits.remaining());
  }
  *value = static_cast<int32_t>(v);
  if (tag) *tag = t;
  return kOk;
}

int DerReadIntegerBytesAt(const ByteString& der, int n, ByteString* out) {
  uint8_t t = 0;
  DerCursor c;
  int rc = FindAt(der, n, &t, &c);
  if (rc != kOk) return rc;
  if (t != kTagInteger) return kErrDerMalformed;
  SpanReader digits(c.data(), c.size());
  uint8_t first = 1;
  if (digits.PeekU8(&first) && first == 0) digits.Skip(1);
  return out->Set(digits.data(), static_cast<int>(digits.remaining()));
}

int DerOidToText(const uint8_t* p, size_t n, ByteString* text) {
  if (n == 0) return kErrDerMalformed;
  // Digits are gathered in a local buffer: at most 256 arcs of 10 digits and a dot.
  char buf[kOidMaxArcs * 12 + 16];
  size_t w = 0;
  int arcs = 0;
  size_t i = 0;
  while (i < n) {
    if (p[i] == 0x80) return kErrDerMalformed;  // non-minimal subidentifier
    uint64_t v = 0;
    bool done = false;
    while (i < n) {
      const uint8_t b = p[i++];
      v = (v << 7) | (b & 0x7F);
      if (v > 0xFFFFFFFFull + 80) return kErrDerMalformed;
      if (!(b & 0x80)) {
        done = true;
        break;
      }
    }
    if (!done) return kErrDerMalformed;  // the last byte announced more
    uint64_t a[2];
    int count = 1;
    a[0] = v;
    if (arcs == 0) {
      count = 2;
      if (v < 40) {
        a[0] = 0;
        a[1] = v;
      } else if (v < 80) {
        a[0] = 1;
        a[1] = v - 40;
      } else {
        a[0] = 2;
        a[1] = v - 80;
      }
    }
    for (int k = 0; k < count; ++k) {
      if (a[k] > 0xFFFFFFFFull) return kErrDerMalformed;
      if (arcs >= kOidMaxArcs) continue;
      if (arcs > 0) buf[w++] = '.';
      char digits[12];
      int d = 0;
      uint64_t x = a[k];
      do {
        digits[d++] = static_cast<char>('0' + x % 10);
        x /= 10;
      } while (x);
      while (d) buf[w++] = digits[--d];
      ++arcs;
    }
  }
  return text->Set(buf, static_cast<int>(w));
}

int DerReadOidAt(const ByteString& der, int n, ByteString* text, int* tag) {
  uint8_t t = 0;
  DerCursor c;
  int rc = FindAt(der, n, &t, &c);
  if (rc != kOk) return rc;
  rc = DerOidToText(c.data(), c.size(), text);
  if (rc == kOk && tag) *tag = t;
  return rc;
}

int DerBitStringBytes(const DerCursor& content, DerCursor* bytes, int* unused_bits) {
  if (content.empty() || content.data()[0] > 7) return kErrDerMalformed;
  const int unused = content.data()[0];
  // Unused bits need at least one content byte to live in.
  if (unused != 0 && content.size() == 1) return kErrDerMalformed;
  *bytes = DerCursor(content.data() + 1, content.size() - 1);
  if (unused_bits) *unused_bits = unused;
  return kOk;
}

int DerReadBitStringAt(const ByteString& der, int n, ByteString* bytes, int* bit_length,
                       int* tag) {
  uint8_t t = 0;
  DerCursor c;
  int rc = FindAt(der, n, &t, &c);
  if (rc != kOk) return rc;
  DerCursor body;
  int unused = 0;
  rc = DerBitStringBytes(c, &body, &unused);
  if (rc != kOk) return rc;
  rc = bytes->Set(body.data(), static_cast<int>(body.size()));
  if (rc != kOk) return rc;
  if (bit_length) *bit_length = static_cast<int>(body.size() * 8) - unused;
  if (tag) *tag = t;
  return kOk;
}

int DerUnwrap(ByteString* buffer, int* tag) {
  DerCursor c(*buffer);
  uint8_t t = 0;
  DerCursor content;
  if (c.Peek(&t, &content) != kOk) return kErrDerMalformed;
  if (tag) *tag = t;
  buffer->EraseFront(static_cast<int>(content.data() - buffer->bytes()));
  return kOk;
}

bool ParseDerSignatureRS(const uint8_t* p, int length, ByteString* r, ByteString* s) {
  if (!p || length < 6 || p[0] != 0x30) return false;
  DerCursor all(p, static_cast<size_t>(length));
  uint8_t tag = 0;
  DerCursor seq;
  if (all.Next(&tag, &seq) != kOk) return false;
  DerCursor parts[2];
  for (DerCursor& part : parts) {
    // Each integer has a one-byte length.
    if (seq.size() < 2 || seq.data()[0] != 0x02 || seq.data()[1] >= 0x80) return false;
    if (seq.Next(&tag, &part) != kOk) return false;
  }
  return r->Set(parts[0].data(), static_cast<int>(parts[0].size())) == kOk &&
         s->Set(parts[1].data(), static_cast<int>(parts[1].size())) == kOk;
}

namespace {

bool IsFiller(uint8_t b) { return b == 0x00 || b == 0x20; }

// Takes one BER element from in; in is left as it was on failure. An end-of-contents marker is
// an element of tag 0 with no content.
bool TakeBer(SpanReader* in, uint8_t* tag, SpanReader* content, int depth) {
  if (depth > kDerMaxDepth) return false;
  SpanReader r = *in;
  uint8_t t = 0, lb = 0;
  if (!r.ReadU8(&t) || !r.ReadU8(&lb)) return false;
  if (t == 0 && lb == 0) {
    *content = SpanReader(r.data(), 0);
  } else if (lb == 0x80 && (t & 0x20)) {
    // Constructed with indefinite length: elements up to the end-of-contents marker.
    const SpanReader body = r;
    while (true) {
      const SpanReader before = r;
      uint8_t inner_tag = 0;
      SpanReader inner;
      if (!TakeBer(&r, &inner_tag, &inner, depth + 1)) return false;
      if (inner_tag == 0 && before.remaining() - r.remaining() == 2) {
        *content = SpanReader(body.data(), body.remaining() - before.remaining());
        break;
      }
    }
  } else if (lb == 0x80) {
    // Primitive with indefinite length: the content runs to two filler bytes.
    SpanReader scan = r, pair;
    uint8_t a = 0, b = 0;
    while (true) {
      pair = scan;
      if (!pair.ReadU8(&a) || !pair.ReadU8(&b)) return false;
      if (IsFiller(a) && IsFiller(b)) break;
      scan.Skip(1);
    }
    *content = SpanReader(r.data(), r.remaining() - scan.remaining());
    r = pair;
  } else {
    uint64_t len = lb;
    if (lb > 0x80 && ((lb & 0x7F) > 4 || !r.ReadUIntBe(lb & 0x7F, &len) || len >= 0x80000000ull)) return false;
    if (!r.ReadBytes(static_cast<size_t>(len), content)) return false;
  }
  *tag = t;
  *in = r;
  return true;
}

}  // namespace

int DerCursor::NextBer(uint8_t* tag, DerCursor* content, DerCursor* element) {
  SpanReader rest = bytes_, body;
  uint8_t t = 0;
  if (!TakeBer(&rest, &t, &body, 0)) return kErrDerIncomplete;
  if (tag) *tag = t;
  if (content) *content = DerCursor(body);
  if (element) *element = DerCursor(data(), size() - rest.remaining());
  bytes_ = rest;
  return kOk;
}

bool ParseBerElement(const uint8_t* buffer, size_t position, size_t end, BerElement* out) {
  if (!buffer || !out || position > end) return false;
  DerCursor at(buffer + position, end - position), content, element;
  if (at.NextBer(&out->tag, &content, &element) != kOk) return false;
  out->element_start = position;
  out->content_start = static_cast<size_t>(content.data() - buffer);
  out->content_end = out->content_start + content.size();
  out->next = position + element.size();
  return true;
}

bool IsSingleElement(const uint8_t* buffer, size_t length) {
  if (!buffer) return false;
  DerCursor all(buffer, length), element;
  uint8_t tag = 0;
  if (all.NextBer(&tag, nullptr, &element) != kOk) return false;
  if (tag == 0 && element.size() == 2) return false;
  return all.empty();
}

}  // namespace tw
