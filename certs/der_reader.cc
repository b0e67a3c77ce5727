#include "certs/der_reader.h"

#include <cstring>

namespace tw {

namespace {

constexpr uint8_t kTagInteger = 0x02;

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
  uint8_t b = 0;
  while (v.size() > 1 && v.bytes_.PeekU8(&b) && b == 0) v.bytes_.Skip(1);
  return magnitude->Set(v.data(), static_cast<int>(v.size()));
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
  const uint8_t* p = c.data();
  size_t len = c.size();
  while (len > 4) {
    if (*p != 0) return kErrDerMalformed;
    ++p;
    --len;
  }
  uint32_t v = (len > 0 && (p[0] & 0x80)) ? 0xFFFFFFFFu : 0;
  for (size_t i = 0; i < len; ++i) v = (v << 8) | p[i];
  *value = static_cast<int32_t>(v);
  if (tag) *tag = t;
  return kOk;
}

int DerReadIntegerBytesAt(const ByteString& der, int n, ByteString* out) {
  uint8_t t = 0;
  DerCursor c;
  int rc = FindAt(der, n, &t, &c);
  if (rc != kOk) return rc;
  if (t != 2) return kErrDerMalformed;
  const uint8_t* p = c.data();
  size_t len = c.size();
  if (len > 0 && p[0] == 0) {
    ++p;
    --len;
  }
  return out->Set(p, static_cast<int>(len));
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

bool ParseBerAt(const uint8_t* b, size_t pos, size_t end, BerElement* out, int depth) {
  if (depth > kDerMaxDepth || pos >= end || end - pos < 2) return false;
  out->element_start = pos;
  out->tag = b[pos];
  const uint8_t lb = b[pos + 1];
  size_t at = pos + 2;
  if (out->tag == 0 && lb == 0) {
    out->content_start = out->content_end = out->next = at;
    return true;
  }
  if (lb == 0x80) {
    out->content_start = at;
    if (out->tag & 0x20) {
      while (true) {
        BerElement inner;
        if (!ParseBerAt(b, at, end, &inner, depth + 1)) return false;
        if (inner.tag == 0 && inner.next - inner.element_start == 2) {
          out->content_end = at;
          out->next = inner.next;
          return true;
        }
        at = inner.next;
      }
    }
    // Primitive with indefinite length: the content runs to two filler bytes.
    for (size_t i = at; i + 1 < end; ++i) {
      const bool a = b[i] == 0x00 || b[i] == 0x20;
      const bool c = b[i + 1] == 0x00 || b[i + 1] == 0x20;
      if (a && c) {
        out->content_end = i;
        out->next = i + 2;
        return true;
      }
    }
    return false;
  }
  uint64_t len = lb;
  if (lb > 0x80) {
    const size_t k = lb & 0x7F;
    if (k > 4 || end - at < k) return false;
    len = 0;
    for (size_t i = 0; i < k; ++i) len = (len << 8) | b[at + i];
    if (len >= 0x80000000ull) return false;
    at += k;
  }
  if (len > end - at) return false;
  out->content_start = at;
  out->content_end = at + static_cast<size_t>(len);
  out->next = out->content_end;
  return true;
}

}  // namespace

bool ParseBerElement(const uint8_t* buffer, size_t position, size_t end, BerElement* out) {
  if (!buffer || !out) return false;
  return ParseBerAt(buffer, position, end, out, 0);
}

bool IsSingleElement(const uint8_t* buffer, size_t length) {
  BerElement e;
  if (!ParseBerElement(buffer, 0, length, &e)) return false;
  if (e.tag == 0 && e.next == 2) return false;
  return e.next == length;
}

}  // namespace tw
