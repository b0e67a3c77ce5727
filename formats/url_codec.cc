#include "formats/url_codec.h"

#include <cstring>

#include "foundation/text_conversion.h"
#include "platform/codepage.h"

namespace tw {
namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr int kReadBlock = 1022;
constexpr int kDecodeLineMax = 65536;
constexpr int kLongestReference = 12;  // "&#x10FFFF;" with room to spare
constexpr uint32_t kLastCodePoint = 0x10FFFF;

bool IsPlainUrlChar(int c, const char* extra) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  if (c == '-' || c == '.' || c == '_' || c == '~') return true;
  return c >= 0x21 && c <= 0x7F && extra != nullptr && std::strchr(extra, c) != nullptr;
}

struct NamedEntity {
  const char* name;
  char value;
};
constexpr NamedEntity kNamedEntities[] = {
    {"lt", '<'}, {"gt", '>'}, {"apos", '\''}, {"quot", '"'}, {"amp", '&'},
};

// The value of "#123" or "#x7B" (n characters between "&" and ";"), or -1.
int64_t ReferenceValue(const uint8_t* p, int n) {
  if (n < 2 || p[0] != '#') return -1;
  bool hex = p[1] == 'x' || p[1] == 'X';
  int start = hex ? 2 : 1;
  if (start >= n) return -1;
  int64_t v = 0;
  for (int i = start; i < n; ++i) {
    int d = hex ? HexDigitValue(p[i]) : (p[i] >= '0' && p[i] <= '9' ? p[i] - '0' : -1);
    if (d < 0) return -1;
    v = v * (hex ? 16 : 10) + d;
    if (v > kLastCodePoint) return -1;
  }
  return v;
}

// A character above U+00FF in the code page.
int WriteCodePoint(CoderOutput& out, uint32_t cp, int code_page) {
  char16_t units[2];
  int n = 1;
  if (cp >= 0x10000) {
    units[0] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    n = 2;
  } else {
    units[0] = static_cast<char16_t>(cp);
  }
  char text[16];
  int len = win::WideCharToMultiByte(static_cast<unsigned>(code_page), 0, units, n, text,
                                     sizeof text, nullptr, nullptr);
  if (len <= 0) return kErrTextConversion;
  return out.Write(text, len);
}

}  // namespace

int UrlEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  uint8_t block[kReadBlock];
  char text[kReadBlock * 3];
  int n;
  while ((n = in.Read(block, kReadBlock)) > 0) {
    int len = 0;
    for (int i = 0; i < n; ++i) {
      int c = block[i];
      if (IsPlainUrlChar(c, settings.url_unreserved)) {
        text[len++] = static_cast<char>(c);
      } else {
        text[len++] = '%';
        text[len++] = kHexUpper[c >> 4];
        text[len++] = kHexUpper[c & 15];
      }
    }
    if (int rc = out.Write(text, len); rc != kOk) return rc;
  }
  return in.error();
}

int UrlDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings&) {
  ByteString line;
  ByteString decoded;
  auto plain = [](uint8_t c) { return c == '+' ? static_cast<uint8_t>(' ') : c; };
  while (in.ReadLine(line, kDecodeLineMax)) {
    const uint8_t* p = line.bytes();
    int len = line.length();
    if (len > 0 && p[len - 1] == '\n') --len;
    decoded.Resize(0);
    int rc = kOk;
    for (int i = 0; i < len && rc == kOk; ++i) {
      if (p[i] != '%') {
        rc = decoded.AppendByte(plain(p[i]));
      } else if (i + 2 < len) {
        int hi = HexDigitValue(p[i + 1]);
        int lo = HexDigitValue(p[i + 2]);
        if (hi >= 0 && lo >= 0) {
          rc = decoded.AppendByte(static_cast<uint8_t>(hi << 4 | lo));
        } else {
          rc = decoded.AppendByte(plain(p[i + 1]));
          if (rc == kOk) rc = decoded.AppendByte(plain(p[i + 2]));
        }
        i += 2;
      } else {
        if (i + 1 < len) rc = decoded.AppendByte(plain(p[i + 1]));
        break;
      }
    }
    if (rc == kOk) rc = out.Write(decoded.data(), decoded.length());
    if (rc != kOk) return rc;
  }
  return in.error();
}

int EntityEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings&) {
  uint8_t block[kReadBlock];
  ByteString text;
  int n;
  while ((n = in.Read(block, kReadBlock)) > 0) {
    text.Resize(0);
    int rc = kOk;
    for (int i = 0; i < n && rc == kOk; ++i) {
      int c = block[i];
      switch (c) {
        case '&': rc = text.AppendText("&amp;"); break;
        case '<': rc = text.AppendText("&lt;"); break;
        case '>': rc = text.AppendText("&gt;"); break;
        case '\'': rc = text.AppendText("&apos;"); break;
        case '"': rc = text.AppendText("&quot;"); break;
        default:
          rc = c > 127 ? text.AppendFormat("&#%d;", c) : text.AppendByte(static_cast<uint8_t>(c));
      }
    }
    if (rc == kOk) rc = out.Write(text.data(), text.length());
    if (rc != kOk) return rc;
  }
  return in.error();
}

int EntityDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  int c;
  uint8_t ref[kLongestReference];
  while ((c = in.Get()) >= 0) {
    int rc = kOk;
    int len = -1;  // characters between "&" and ";"
    if (c == '&') {
      for (int i = 0; i < kLongestReference; ++i) {
        int d = in.Peek(i);
        if (d < 0 || d == '&') break;
        if (d == ';') {
          len = i;
          break;
        }
        ref[i] = static_cast<uint8_t>(d);
      }
    }
    bool taken = false;
    if (len > 0) {
      const std::string_view name(reinterpret_cast<const char*>(ref), static_cast<size_t>(len));
      for (const NamedEntity& e : kNamedEntities) {
        if (EqualsNoCase(name, e.name)) {
          rc = out.Put(static_cast<uint8_t>(e.value));
          taken = true;
          break;
        }
      }
      if (!taken) {
        int64_t v = ReferenceValue(ref, len);
        if (v >= 0) {
          rc = v <= 0xFF ? out.Put(static_cast<uint8_t>(v))
                         : WriteCodePoint(out, static_cast<uint32_t>(v), settings.code_page);
          taken = true;
        }
      }
    }
    if (taken) {
      for (int i = 0; i <= len; ++i) in.Get();
    } else {
      rc = out.Put(static_cast<uint8_t>(c));
    }
    if (rc != kOk) return rc;
  }
  return in.error();
}

}  // namespace tw
