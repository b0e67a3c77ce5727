#include "certs/der_writer.h"

#include <cstring>
#include <utility>

#include "certs/der_reader.h"

namespace tw {

int DerLengthBytes(uint64_t n, uint8_t out[5]) {
  if (n < 0x80) {
    out[0] = static_cast<uint8_t>(n);
    return 1;
  }
  int k = 0;
  for (uint64_t x = n; x; x >>= 8) ++k;
  out[0] = static_cast<uint8_t>(0x80 + k);
  for (int i = 0; i < k; ++i) out[1 + i] = static_cast<uint8_t>(n >> (8 * (k - 1 - i)));
  return 1 + k;
}

int DerWriter::AppendHeader(int tag, uint64_t length) {
  if (tag < 0 || tag > 0xFF || length > 0xFFFFFFFFull) return kErrDerWrite;
  uint8_t h[6];
  h[0] = static_cast<uint8_t>(tag);
  const int n = DerLengthBytes(length, h + 1);
  return out_.Append(h, 1 + n);
}

int DerWriter::DerAppendTlv(int tag, const void* bytes, int length) {
  if (length == -1) length = bytes ? static_cast<int>(std::strlen(static_cast<const char*>(bytes))) : 0;
  if (length < 0 || (length > 0 && !bytes)) return kErrDerWrite;
  const int before = out_.length();
  int rc = AppendHeader(tag, static_cast<uint64_t>(length));
  if (rc == kOk) rc = out_.Append(bytes, length);
  if (rc != kOk) out_.Resize(before);
  return rc;
}

int DerWriter::DerAppendInteger(int tag, int32_t value) {
  uint8_t b[4];
  const uint32_t u = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(u >> (24 - 8 * i));
  int start = 0;
  // A leading byte goes while the top nine bits of what remains are all equal.
  while (start < 3) {
    const bool zeros = b[start] == 0x00 && !(b[start + 1] & 0x80);
    const bool ones = b[start] == 0xFF && (b[start + 1] & 0x80);
    if (!zeros && !ones) break;
    ++start;
  }
  return DerAppendTlv(tag, b + start, 4 - start);
}

int DerWriter::DerAppendUnsignedInteger(const void* bytes, int length) {
  if (!bytes || length <= 0) return kErrDerWrite;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  if (!(p[0] & 0x80)) return DerAppendTlv(2, p, length);
  // A magnitude with its top bit set would read back negative without the zero byte.
  const int before = out_.length();
  int rc = AppendHeader(2, static_cast<uint64_t>(length) + 1);
  if (rc == kOk) rc = out_.AppendByte(0);
  if (rc == kOk) rc = out_.Append(p, length);
  if (rc != kOk) out_.Resize(before);
  return rc;
}

int DerWriter::DerAppendBitString(int tag, const void* bytes, int length) {
  if (length < 0 || (length > 0 && !bytes)) return kErrDerWrite;
  const int before = out_.length();
  int rc = AppendHeader(tag, static_cast<uint64_t>(length) + 1);
  if (rc == kOk) rc = out_.AppendByte(0);
  if (rc == kOk) rc = out_.Append(bytes, length);
  if (rc != kOk) out_.Resize(before);
  return rc;
}

int DerWriter::DerAppendBoolean(int tag, bool flag) {
  const uint8_t v = flag ? 0xFF : 0x00;
  return DerAppendTlv(tag, &v, 1);
}

int DerWriter::DerAppendNull(int tag) { return DerAppendTlv(tag, nullptr, 0); }

int DerWriter::DerAppendOid(int tag, const char* text) {
  if (!text) return kErrDerWrite;
  uint64_t arcs[kOidMaxArcs];
  int count = 0;
  const char* p = text;
  // Digits separated by single dots, nothing else: a stray character would silently shift arcs.
  while (true) {
    if (*p < '0' || *p > '9' || count == kOidMaxArcs) return kErrDerWrite;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + static_cast<uint64_t>(*p++ - '0');
      if (v > 0xFFFFFFFFull) return kErrDerWrite;
    }
    arcs[count++] = v;
    if (*p == 0) break;
    if (*p != '.') return kErrDerWrite;
    ++p;
  }
  if (count < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return kErrDerWrite;
  uint8_t content[kOidMaxArcs * 5 + 8];
  int n = 0;
  for (int i = 1; i < count; ++i) {
    const uint64_t v = i == 1 ? arcs[0] * 40 + arcs[1] : arcs[i];
    uint8_t groups[10];
    int g = 0;
    uint64_t x = v;
    do {
      groups[g++] = static_cast<uint8_t>(x & 0x7F);
      x >>= 7;
    } while (x);
    while (g) {
      --g;
      content[n++] = static_cast<uint8_t>(groups[g] | (g ? 0x80 : 0));
    }
  }
  return DerAppendTlv(tag, content, n);
}

int DerWriter::DerOpenConstructed(int tag) {
  if (tag < 0 || tag > 0xFF) return kErrDerWrite;
  const uint32_t start = static_cast<uint32_t>(out_.length());
  int rc = stack_.Append(&start, 4);
  if (rc != kOk) return rc;
  const uint8_t h[2] = {static_cast<uint8_t>(tag), 0x80};
  rc = out_.Append(h, 2);
  if (rc != kOk) stack_.Resize(stack_.length() - 4);
  return rc;
}

int DerWriter::DerCloseConstructed(bool indefinite) {
  if (stack_.length() < 4) return kErrDerWrite;
  uint32_t start = 0;
  std::memcpy(&start, stack_.data() + stack_.length() - 4, 4);
  const int before = out_.length();
  if (indefinite) {
    int rc = out_.Append("\0\0", 2);
    if (rc != kOk) return rc;
    stack_.Resize(stack_.length() - 4);
    return kOk;
  }
  const uint64_t len = static_cast<uint64_t>(before) - start - 2;
  uint8_t lb[5];
  const int n = DerLengthBytes(len, lb);
  if (n > 1) {
    const int extra = n - 1;
    int rc = out_.Resize(before + extra);
    if (rc != kOk) return rc;
    uint8_t* b = out_.bytes();
    std::memmove(b + start + 2 + extra, b + start + 2, static_cast<size_t>(len));
  }
  std::memcpy(out_.bytes() + start + 1, lb, static_cast<size_t>(n));
  stack_.Resize(stack_.length() - 4);
  return kOk;
}

namespace {

// Puts the n header bytes in front of everything written so far.
int PrependHeader(ByteString& out, const uint8_t* h, int n) {
  ByteString wrapped;
  int rc = wrapped.Set(h, n);
  if (rc == kOk) rc = wrapped.AppendString(out);
  if (rc == kOk) out = std::move(wrapped);
  return rc;
}

}  // namespace

int DerWriter::DerWrapAll(int tag) {
  uint8_t h[6];
  if (tag < 0 || tag > 0xFF) return kErrDerWrite;
  h[0] = static_cast<uint8_t>(tag);
  const int n = 1 + DerLengthBytes(static_cast<uint64_t>(out_.length()), h + 1);
  return PrependHeader(out_, h, n);
}

int DerWriter::DerWrapContent(int tag) {
  const int len = out_.length();
  if (tag < 0 || tag > 0xFF || len >= 0x10000) return kErrDerWrite;
  uint8_t h[4] = {static_cast<uint8_t>(tag), 0, 0, 0};
  int n = 2;
  if (len < 0x80) {
    h[1] = static_cast<uint8_t>(len);
  } else {
    h[1] = 0x82;
    h[2] = static_cast<uint8_t>(len >> 8);
    h[3] = static_cast<uint8_t>(len);
    n = 4;
  }
  return PrependHeader(out_, h, n);
}

}  // namespace tw
