// The parser's input: pieces of text or bytes appended to its buffer, decoded from the input
// encoding as they come.
#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/xml_chars.h"
#include "formats/xml_parser.h"
#include "foundation/file_handle.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

using xml::kMaxCodePoint;
using xml::kReplacement;

constexpr char kTextCannotOpen[] = "Can't open file for reading.";

// Room for `need` bytes, taken as a fresh block (twice the old room at least) rather than by
// reallocation: the C heap's reallocation copies a block of many MiB on each growth, or remaps
// it page by page when it was given huge pages.
int EnsureRoom(ByteString& s, int64_t need) {
  if (need <= s.capacity()) return kOk;
  if (need >= INT32_MAX) return kErrOutOfMemory;
  const int64_t twice = 2LL * s.capacity();
  const int64_t room = std::min<int64_t>(std::max(need, twice), INT32_MAX - 1);
  return s.Reserve(static_cast<int>(room));
}

}  // namespace

int XmlParser::Input(const char* text) {
  if (failed_) return failed_;
  if (encoding_ == kXmlEncodingUtf16Le || encoding_ == kXmlEncodingUtf16Be) {
    return Fail(kXmlErrUtf16Text, XmlErrorText(kXmlErrUtf16Text));
  }
  const size_t n = text ? std::strlen(text) : 0;
  if (n > static_cast<size_t>(INT32_MAX / 2)) {
    return Fail(kErrOutOfMemory, XmlErrorText(kErrOutOfMemory));
  }
  return InputBytes(text, static_cast<int>(n));
}

int XmlParser::InputBytes(const void* data, int length) {
  if (failed_) return failed_;
  if (length > 0 && data) {
    if (build_dom_) dom_.ExpectInput(length);
    int rc = Append(static_cast<const uint8_t*>(data), length);
    if (rc != kOk) return Fail(rc, XmlErrorText(rc));
  }
  return Run();
}

int XmlParser::ParseAll(const char* text) {
  int rc = Input(text);
  if (rc != kOk) CopyParseError();
  return rc;
}

int XmlParser::ParseFile(const char* path) {
  FileHandle file;
  if (file.OpenReadText(path, 0, 0) != kOk) {
    SetErrorText(kTextCannotOpen);
    parse_error_.SetText(kTextCannotOpen);
    return kFileOpenReadFailed;
  }
  InlineBuffer16K block;
  block.Resize(16384);
  for (;;) {
    size_t got = 0;
    int rc = file.ReadSome(block.data(), 16384, &got);
    if (rc != kOk) return rc;
    if (got == 0) break;
    rc = InputBytes(block.data(), static_cast<int>(got));
    if (rc != kOk) {
      CopyParseError();
      return rc;
    }
  }
  return Flush(true);
}

int XmlParser::Append(const uint8_t* data, int n) {
  if (!keep_original_text_) DropConsumed();
  if (auto_encoding_ && !detected_) {
    // Hold the first bytes until a byte order mark can be told apart.
    while (n > 0 && held_count_ < 4) {
      held_[held_count_++] = *data++;
      --n;
    }
    if (held_count_ < 4) return kOk;
    return FinishInput() != kOk ? kErrOutOfMemory : AppendConverted(data, n);
  }
  return AppendConverted(data, n);
}

// Decides the encoding from the held first bytes (at the fourth byte or at the end of input).
int XmlParser::FinishInput() {
  if (!auto_encoding_ || detected_) return kOk;
  detected_ = true;
  int mark = 0;
  const int found = DetectDocumentEncoding(held_, held_count_, &mark);
  if (mark > 0 || found == kXmlEncodingUtf16Le || found == kXmlEncodingUtf16Be) {
    encoding_ = found;
  }
  const int n = held_count_;
  held_count_ = 0;
  return AppendConverted(held_ + mark, n - mark);
}

int XmlParser::AppendCodePoint(uint32_t cp, ByteString& out) {
  if (cp < 0x80) return out.AppendByte(static_cast<uint8_t>(cp));
  char text[16];
  int n = 0;
  text[n++] = '&';
  text[n++] = '#';
  char digits[12];
  int d = 0;
  do {
    digits[d++] = static_cast<char>('0' + cp % 10);
    cp /= 10;
  } while (cp);
  while (d) text[n++] = digits[--d];
  text[n++] = ';';
  return out.Append(text, n);
}

int XmlParser::AppendConverted(const uint8_t* data, int n) {
  if (n <= 0) return kOk;
  // A few characters converted to references may take more; those grow the buffer as ever.
  int rc = EnsureRoom(buffer_, buffer_.length() + int64_t{n} + n / 8);
  if (rc != kOk) return rc;
  if (encoding_ == kXmlEncodingNone) return buffer_.Append(data, n);
  ByteString& out = buffer_;
  int i = 0;
  if (encoding_ == kXmlEncodingUtf8) {
    while (i < n && rc == kOk) {
      if (partial_need_ == 0) {
        // Copy a run of plain bytes at once, found eight at a time.
        int j = i;
        for (uint64_t word; j + 8 <= n; j += 8) {
          std::memcpy(&word, data + j, sizeof word);
          if ((word & 0x8080808080808080ull) != 0) break;
        }
        while (j < n && data[j] < 0x80) ++j;
        if (j > i) {
          rc = out.Append(data + i, j - i);
          i = j;
          continue;
        }
      }
      const uint8_t b = data[i];
      if (partial_need_ > 0) {
        if ((b & 0xC0) == 0x80) {
          partial_ = (partial_ << 6) | (b & 0x3Fu);
          ++i;
          if (--partial_need_ == 0) {
            uint32_t cp = partial_;
            if (cp < partial_min_ || cp > kMaxCodePoint || (cp >= 0xD800 && cp <= 0xDFFF)) {
              cp = kReplacement;
            }
            rc = AppendCodePoint(cp, out);
          }
          continue;
        }
        // A sequence cut short: the byte that broke it is read on its own.
        partial_need_ = 0;
        rc = AppendCodePoint(kReplacement, out);
        continue;
      }
      ++i;
      if (b >= 0xC0 && b <= 0xDF) {
        partial_ = b & 0x1Fu;
        partial_need_ = 1;
        partial_min_ = 0x80;
      } else if (b >= 0xE0 && b <= 0xEF) {
        partial_ = b & 0x0Fu;
        partial_need_ = 2;
        partial_min_ = 0x800;
      } else if (b >= 0xF0 && b <= 0xF7) {
        partial_ = b & 0x07u;
        partial_need_ = 3;
        partial_min_ = 0x10000;
      } else {
        rc = AppendCodePoint(kReplacement, out);
      }
    }
    return rc;
  }
  const bool utf16 = encoding_ == kXmlEncodingUtf16Le || encoding_ == kXmlEncodingUtf16Be;
  const int unit = utf16 ? 2 : 4;
  for (; i < n && rc == kOk; ++i) {
    partial_ |= static_cast<uint32_t>(data[i]) << (8 * partial_need_);
    if (++partial_need_ < unit) continue;
    uint32_t v = partial_;
    partial_ = 0;
    partial_need_ = 0;
    const bool big = encoding_ == kXmlEncodingUtf16Be || encoding_ == kXmlEncodingUtf32Be;
    if (big) {
      v = utf16 ? (((v & 0xFF) << 8) | (v >> 8))
                : (((v & 0xFF) << 24) | ((v & 0xFF00) << 8) | ((v >> 8) & 0xFF00) | (v >> 24));
    }
    if (utf16) {
      if (v == 0xFFFE) {
        // A byte-swapped mark: the other byte order.
        encoding_ = encoding_ == kXmlEncodingUtf16Le ? kXmlEncodingUtf16Be : kXmlEncodingUtf16Le;
        continue;
      }
      if (high_surrogate_) {
        const uint32_t high = high_surrogate_;
        high_surrogate_ = 0;
        if (v >= 0xDC00 && v <= 0xDFFF) {
          rc = AppendCodePoint(((high & 0x3FF) << 10) + (v & 0x3FF) + 0x10000, out);
          continue;
        }
        rc = AppendCodePoint(kReplacement, out);
        if (rc != kOk) break;
      }
      if (v >= 0xD800 && v <= 0xDBFF) {
        high_surrogate_ = v;
        continue;
      }
      if (v >= 0xDC00 && v <= 0xDFFF) v = kReplacement;
    } else if (v > kMaxCodePoint || (v >= 0xD800 && v <= 0xDFFF)) {
      v = kReplacement;
    }
    rc = AppendCodePoint(v, out);
  }
  return rc;
}

// An XML declaration naming UTF-8 in a document read as plain bytes: the rest of the input is
// UTF-8, including the bytes already appended behind the declaration, so the document reads the
// same however it was split. Any other switch is ignored: bytes already converted cannot be read
// again, and a byte order mark or an explicit setting outranks the declaration.
int XmlParser::ApplyDeclaredEncoding(const char* text, int n) {
  const char* found = nullptr;
  for (int i = 0; i + 9 <= n; ++i) {
    if (std::memcmp(text + i, " encoding", 9) == 0) {
      found = text + i + 9;
      break;
    }
  }
  if (!found) return kOk;
  const char* end = text + n;
  const char* p = found;
  auto skip = [&] {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
  };
  skip();
  if (p >= end || *p != '=') return kOk;
  ++p;
  skip();
  if (p >= end || (*p != '"' && *p != '\'')) return kOk;
  const char quote = *p++;
  ShortString name;
  while (p < end && *p != quote) {
    if (*p == '\\' && p + 1 < end) ++p;
    if (name.AppendByte(static_cast<uint8_t>(*p++)) != kOk) return kErrOutOfMemory;
  }
  if (encoding_ != kXmlEncodingNone || !name.EqualsNoCase("UTF-8")) return kOk;
  encoding_ = kXmlEncodingUtf8;
  const int tail = buffer_.length() - pos_;
  if (tail <= 0) return kOk;
  ByteString rest;
  int rc = rest.Set(buffer_.data() + pos_, tail);
  if (rc != kOk) return rc;
  buffer_.Resize(pos_);
  return AppendConverted(rest.bytes(), rest.length());
}

}  // namespace tw
