#include "foundation/text_conversion.h"

#include <cstring>

#include "platform/codepage.h"
#include "platform/heap.h"

namespace tw {
namespace {

constexpr char kHexLower[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kBase64Std[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr int kBase64DefaultLineBytes = 48;  // 64 characters
constexpr char16_t kReplacementChar = 0xFFFD;

constexpr const char* kDocumentEncodingNames[] = {"ASCII",    "UTF-8",    "UTF-16LE",
                                                  "UTF-16BE", "UTF-32LE", "UTF-32BE"};

constexpr char kEscDoubleByte[] = "\x1B$B";
constexpr char kEscAscii[] = "\x1B(B";

// Half-width katakana 0xA1..0xDF as JIS X 0208 codes of the full-width letters.
constexpr uint16_t kHalfWidthKanaToJis[63] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523,  // A1 .. A8
    0x2525, 0x2527, 0x2529, 0x2563, 0x2565, 0x2567, 0x2543, 0x213C,  // A9 .. B0
    0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B, 0x252D, 0x252F,  // B1 .. B8
    0x2531, 0x2533, 0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F,  // B9 .. C0
    0x2541, 0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C, 0x254D,  // C1 .. C8
    0x254E, 0x254F, 0x2552, 0x2555, 0x2558, 0x255B, 0x255E, 0x255F,  // C9 .. D0
    0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569, 0x256A,  // D1 .. D8
    0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C,          // D9 .. DF
};

constexpr PercentTable MakeUnreservedTable() {
  PercentTable t{};
  for (int c = 32; c < 128; ++c) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '.' || c == '_' || c == '~' || c == '*';
    t.flags[c - 32] = keep ? 1 : 0;
  }
  return t;
}

// A heap work block released with its owner.
class WorkBlock {
 public:
  explicit WorkBlock(size_t bytes) : p_(static_cast<uint8_t*>(win::HeapAlloc(bytes ? bytes : 1))) {}
  ~WorkBlock() { win::HeapFree(p_); }
  WorkBlock(const WorkBlock&) = delete;
  WorkBlock& operator=(const WorkBlock&) = delete;
  uint8_t* get() const { return p_; }

 private:
  uint8_t* p_;
};

inline void PutUnit(uint8_t* out, size_t& pos, uint32_t unit) {
  out[pos++] = static_cast<uint8_t>(unit & 0xFF);
  out[pos++] = static_cast<uint8_t>(unit >> 8);
}

// Decodes UTF-8 into UTF-16LE bytes at out (room for 2 * n bytes). Returns the byte count, or
// -1 for input that cannot be text. Lenient: a cut-short sequence becomes U+FFFD; strict: fails.
long DecodeUtf8(const uint8_t* s, size_t n, uint8_t* out, bool strict) {
  size_t pos = 0;
  size_t i = 0;
  while (i < n) {
    uint32_t b = s[i];
    if (b < 0x80) {
      PutUnit(out, pos, b);
      ++i;
      continue;
    }
    if (b < 0xC0 || b >= 0xF8) return -1;  // stray continuation, or a 5/6-byte form
    int need = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
    uint32_t value = b & (0x3F >> need);
    int got = 0;
    while (got < need && i + 1 + got < n && (s[i + 1 + got] & 0xC0) == 0x80) {
      value = (value << 6) | (s[i + 1 + got] & 0x3F);
      ++got;
    }
    if (got < need) {
      // The byte that broke the sequence is not part of it: it is read again on its own.
      if (strict) return -1;
      PutUnit(out, pos, kReplacementChar);
      i += 1 + got;
      continue;
    }
    i += 1 + need;
    static constexpr uint32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
    if (value < kMinimum[need]) return -1;              // overlong
    if (value >= 0xD800 && value <= 0xDFFF) return -1;  // encoded surrogate
    if (value > 0x10FFFF) return -1;
    if (value >= 0x10000) {
      value -= 0x10000;
      PutUnit(out, pos, 0xD800 + (value >> 10));
      PutUnit(out, pos, 0xDC00 + (value & 0x3FF));
    } else {
      PutUnit(out, pos, value);
    }
  }
  return static_cast<long>(pos);
}

// Encodes UTF-16LE bytes as UTF-8 at out (room for 2 * n bytes). -1 for a bad surrogate.
long EncodeUtf8(const uint8_t* s, size_t n, uint8_t* out) {
  if (n % 2 != 0) return -1;
  size_t pos = 0;
  size_t units = n / 2;
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = s[2 * i] | (s[2 * i + 1] << 8);
    if (c >= 0xDC00 && c <= 0xDFFF) return -1;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= units) return -1;
      uint32_t d = s[2 * i + 2] | (s[2 * i + 3] << 8);
      if (d < 0xDC00 || d > 0xDFFF) return -1;
      c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out[pos++] = static_cast<uint8_t>(c);
    } else if (c < 0x800) {
      out[pos++] = static_cast<uint8_t>(0xC0 | (c >> 6));
      out[pos++] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out[pos++] = static_cast<uint8_t>(0xE0 | (c >> 12));
      out[pos++] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      out[pos++] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    } else {
      out[pos++] = static_cast<uint8_t>(0xF0 | (c >> 18));
      out[pos++] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
      out[pos++] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      out[pos++] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    }
  }
  return static_cast<long>(pos);
}

int Base64Value(int c, bool url_safe) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (url_safe) {
    if (c == '-') return 62;
    if (c == '_') return 63;
  } else {
    if (c == '+') return 62;
    if (c == '/') return 63;
  }
  return -1;
}

// Shift-JIS double-byte code to the two JIS X 0208 bytes.
void SjisToJisPair(int s1, int s2, int* j1, int* j2) {
  int base = s1 <= 0x9F ? 0x70 : 0xB0;
  if (s2 < 0x9F) {
    *j1 = 2 * (s1 - base) - 1;
    *j2 = s2 - (s2 >= 0x80 ? 0x20 : 0x1F);
  } else {
    *j1 = 2 * (s1 - base);
    *j2 = s2 - 0x7E;
  }
}

void JisToSjisPair(int j1, int j2, int* s1, int* s2) {
  *s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
  if (j1 & 1) {
    *s2 = j2 + (j2 >= 0x60 ? 0x20 : 0x1F);
  } else {
    *s2 = j2 + 0x7E;
  }
}

// The JIS code of a half-width katakana byte, merging a following sound mark where the letter
// takes it. *used is 1 or 2 bytes.
int HalfWidthKanaToJis(const uint8_t* p, int* used) {
  int b = p[0];
  int code = kHalfWidthKanaToJis[b - 0xA1];
  int next = p[1];  // the NUL at worst
  *used = 1;
  if (next == 0xDE) {
    if ((b >= 0xB6 && b <= 0xC4) || (b >= 0xCA && b <= 0xCE)) {  // ka..to, ha..ho
      *used = 2;
      return code + 1;
    }
    if (b == 0xB3) {  // u -> vu
      *used = 2;
      return 0x2574;
    }
  } else if (next == 0xDF && b >= 0xCA && b <= 0xCE) {  // ha..ho -> pa..po
    *used = 2;
    return code + 2;
  }
  return code;
}

bool IsPemWhitespace(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int ToLowerAscii(int c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

}  // namespace

const PercentTable kUnreservedTable = MakeUnreservedTable();

// ---- Code pages ----

int AppendAsUtf8(ByteString& s, const char* text, int n, unsigned codepage) {
  if (!text) return kOk;
  if (n < 0) n = static_cast<int>(std::strlen(text));
  if (n == 0) return kOk;
  int units = win::MultiByteToWideChar(codepage, 0, text, n, nullptr, 0);
  if (units <= 0) return kErrTextConversion;
  WorkBlock wide(static_cast<size_t>(units) * 2);
  if (!wide.get()) return kErrOutOfMemory;
  auto* w = reinterpret_cast<char16_t*>(wide.get());
  if (win::MultiByteToWideChar(codepage, 0, text, n, w, units) != units) return kErrTextConversion;
  int bytes = win::WideCharToMultiByte(win::CP_UTF8, 0, w, units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return kErrTextConversion;
  WorkBlock utf8(static_cast<size_t>(bytes));
  if (!utf8.get()) return kErrOutOfMemory;
  auto* u = reinterpret_cast<char*>(utf8.get());
  if (win::WideCharToMultiByte(win::CP_UTF8, 0, w, units, u, bytes, nullptr, nullptr) != bytes) {
    return kErrTextConversion;
  }
  return s.Append(u, bytes);
}

// ---- Own UTF conversions ----

namespace {
int Utf8ToUtf16Mode(ByteString& s, bool strict) {
  if (s.empty()) return kOk;
  size_t n = static_cast<size_t>(s.length());
  WorkBlock work(2 * n);
  if (!work.get()) return kErrOutOfMemory;
  long got = DecodeUtf8(s.bytes(), n, work.get(), strict);
  if (got < 0) return kErrTextConversion;
  return s.Set(work.get(), static_cast<int>(got));
}
}  // namespace

int Utf8ToUtf16(ByteString& s) { return Utf8ToUtf16Mode(s, false); }

int Utf8ToUtf16Strict(ByteString& s) { return Utf8ToUtf16Mode(s, true); }

int Utf16ToUtf8(ByteString& s) {
  if (s.empty()) return kOk;
  size_t n = static_cast<size_t>(s.length());
  WorkBlock work(2 * n);
  if (!work.get()) return kErrOutOfMemory;
  long got = EncodeUtf8(s.bytes(), n, work.get());
  if (got < 0) return kErrTextConversion;
  return s.Set(work.get(), static_cast<int>(got));
}

int Utf16BeToUtf8(ByteString& s) {
  if (s.length() % 2 != 0) return kErrTextConversion;
  s.SwapBytePairs();
  int rc = Utf16ToUtf8(s);
  if (rc != kOk) s.SwapBytePairs();  // leave the input as it was
  return rc;
}

int Utf8ToLatin1(ByteString& s) {
  if (s.empty()) return kOk;
  size_t n = static_cast<size_t>(s.length());
  WorkBlock work(2 * n);
  if (!work.get()) return kErrOutOfMemory;
  long got = DecodeUtf8(s.bytes(), n, work.get(), false);
  if (got < 0) return kErrTextConversion;
  uint8_t* w = work.get();
  size_t out = 0;
  for (long i = 0; i < got; i += 2) {
    uint32_t unit = w[i] | (w[i + 1] << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      i += 2;  // a pair is one character, and one "?"
      unit = '?';
    } else if (unit > 0xFF) {
      unit = '?';
    }
    w[out++] = static_cast<uint8_t>(unit);
  }
  return s.Set(w, static_cast<int>(out));
}

int SwapThenUtf8ToUtf16(ByteString& s) {
  int rc = Utf8ToUtf16(s);
  if (rc == kOk) s.SwapBytePairs();
  return rc;
}

// ---- Hexadecimal ----

bool IsHexDigit(int c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexDigitValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int HexPairToByte(const char* pair) {
  int hi = HexDigitValue(static_cast<unsigned char>(pair[0]));
  if (hi < 0) return -1;
  int lo = HexDigitValue(static_cast<unsigned char>(pair[1]));
  if (lo < 0) return -1;
  return hi * 16 + lo;
}

template <int N>
int AppendHexLower(InlineString<N>& s, const void* bytes, int n) {
  if (n <= 0) return kOk;
  int old = s.length();
  if (static_cast<int64_t>(old) + 2 * static_cast<int64_t>(n) >= INT32_MAX) return kErrOutOfMemory;
  int rc = s.Resize(old + 2 * n);
  if (rc != kOk) return rc;
  const auto* b = static_cast<const uint8_t*>(bytes);
  char* out = s.data() + old;
  for (int i = 0; i < n; ++i) {
    out[2 * i] = kHexLower[b[i] >> 4];
    out[2 * i + 1] = kHexLower[b[i] & 15];
  }
  return kOk;
}
template int AppendHexLower(InlineString<99>&, const void*, int);
template int AppendHexLower(InlineString<20>&, const void*, int);

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const int x = ToLowerAscii(static_cast<unsigned char>(a[i]));
    if (x != ToLowerAscii(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

int AppendFromHex(ByteString& s, const char* text) {
  if (!text) return kOk;
  size_t n = std::strlen(text);
  if (n % 2 != 0) return kErrTextConversion;
  for (size_t i = 0; i < n; ++i) {
    if (!IsHexDigit(static_cast<unsigned char>(text[i]))) return kErrTextConversion;
  }
  if (n / 2 >= static_cast<size_t>(INT32_MAX - s.length())) return kErrOutOfMemory;
  int old = s.length();
  int rc = s.Resize(old + static_cast<int>(n / 2));
  if (rc != kOk) return rc;
  uint8_t* out = s.bytes() + old;
  for (size_t i = 0; i < n; i += 2) out[i / 2] = static_cast<uint8_t>(HexPairToByte(text + i));
  return kOk;
}

uint32_t HexToUInt(const char* text) {
  uint32_t v = 0;
  if (!text) return 0;
  for (int d; (d = HexDigitValue(static_cast<unsigned char>(*text))) >= 0; ++text) {
    v = v * 16 + static_cast<uint32_t>(d);
  }
  return v;
}

int64_t ParseSignedHex(const char* text) {
  if (!text) return 0;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint64_t v = 0;
  for (int d; (d = HexDigitValue(static_cast<unsigned char>(*text))) >= 0; ++text) {
    v = v * 16 + static_cast<uint64_t>(d);
  }
  return static_cast<int64_t>(negative ? 0 - v : v);
}

int32_t ParseHex(const char* text) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ParseSignedHex(text))));
}

// ---- Base64 ----

bool IsBase64Char(int c) { return Base64Value(c, false) >= 0; }

bool IsBase64Space(int c) { return IsPemWhitespace(c); }

template <int N>
int Base64Encode(InlineString<N>& s, const void* bytes, int n, bool line_breaks, int line_length,
                 bool url_safe) {
  if (n < 0) return kErrInvalidValue;
  if (line_breaks && line_length == 0) return kErrInvalidValue;
  if (n == 0) return kOk;
  int line_bytes =
      (line_length > 0 && line_length % 4 == 0) ? line_length / 4 * 3 : kBase64DefaultLineBytes;
  int64_t groups = (static_cast<int64_t>(n) + 2) / 3;
  int64_t size = groups * 4;
  if (line_breaks) size += (static_cast<int64_t>(n) - 1) / line_bytes * 2;
  if (static_cast<int64_t>(s.length()) + size >= INT32_MAX) return kErrOutOfMemory;
  int old = s.length();
  int rc = s.Resize(old + static_cast<int>(size));
  if (rc != kOk) return rc;
  const char* alphabet = url_safe ? kBase64Url : kBase64Std;
  const auto* b = static_cast<const uint8_t*>(bytes);
  char* out = s.data() + old;
  for (int i = 0; i < n; i += 3) {
    if (line_breaks && i > 0 && i % line_bytes == 0) {
      *out++ = '\r';
      *out++ = '\n';
    }
    int left = n - i;
    uint32_t v = static_cast<uint32_t>(b[i]) << 16;
    if (left > 1) v |= static_cast<uint32_t>(b[i + 1]) << 8;
    if (left > 2) v |= b[i + 2];
    *out++ = alphabet[v >> 18];
    *out++ = alphabet[(v >> 12) & 63];
    if (left > 1) {
      *out++ = alphabet[(v >> 6) & 63];
    } else if (!url_safe) {
      *out++ = '=';
    }
    if (left > 2) {
      *out++ = alphabet[v & 63];
    } else if (!url_safe) {
      *out++ = '=';
    }
  }
  // URL-safe output has no padding, so it may be shorter than reserved.
  return s.Resize(static_cast<int>(out - s.data()));
}
template int Base64Encode(InlineString<99>&, const void*, int, bool, int, bool);
template int Base64Encode(InlineString<20>&, const void*, int, bool, int, bool);

int DecodeBase64(ByteString& s, bool url_safe, bool strict, bool skip_whitespace) {
  const uint8_t* in = s.bytes();
  int n = s.length();
  uint8_t* out = s.bytes();  // the output never overtakes the input
  int pos = 0;
  uint32_t acc = 0;
  int have = 0;  // characters in the current group
  int i = 0;
  for (; i < n; ++i) {
    int c = in[i];
    if (c == '=') break;
    if (skip_whitespace && IsPemWhitespace(c)) continue;
    int v = Base64Value(c, url_safe);
    if (v < 0) {
      if (strict) return -1;
      continue;
    }
    acc = (acc << 6) | static_cast<uint32_t>(v);
    if (++have == 4) {
      out[pos++] = static_cast<uint8_t>(acc >> 16);
      out[pos++] = static_cast<uint8_t>(acc >> 8);
      out[pos++] = static_cast<uint8_t>(acc);
      acc = 0;
      have = 0;
    }
  }
  bool padded = i < n;
  if (strict) {
    if (have == 1) return -1;
    int pads = 0;
    for (; i < n; ++i) {
      int c = in[i];
      if (c == '=') {
        ++pads;
      } else if (!(skip_whitespace && IsPemWhitespace(c))) {
        return -1;
      }
    }
    int want = have == 0 ? 0 : 4 - have;
    bool padding_optional = url_safe && pads == 0;
    if (pads != want && !padding_optional) return -1;
  }
  if (have == 1 && padded) {
    out[pos++] = static_cast<uint8_t>(acc << 2);
  } else if (have == 2) {
    out[pos++] = static_cast<uint8_t>(acc >> 4);
  } else if (have == 3) {
    out[pos++] = static_cast<uint8_t>(acc >> 10);
    out[pos++] = static_cast<uint8_t>(acc >> 2);
  }
  return s.Resize(pos);
}

int LooksLikeBase64(const char* text, int n) {
  if (!text) return 0;
  size_t len = n < 0 ? std::strlen(text) : static_cast<size_t>(n);
  size_t i = 0;
  while (i < len && IsPemWhitespace(static_cast<unsigned char>(text[i]))) ++i;
  size_t count = 0;
  while (i < len) {
    int c = static_cast<unsigned char>(text[i]);
    if (Base64Value(c, false) >= 0) {
      ++count;
      ++i;
    } else if (IsPemWhitespace(c)) {
      bool line_break = false;
      size_t j = i;
      for (; j < len && IsPemWhitespace(static_cast<unsigned char>(text[j])); ++j) {
        if (text[j] == '\r' || text[j] == '\n') line_break = true;
      }
      if (j < len && !line_break) return 0;
      i = j;
    } else if (c == '=') {
      int pads = 0;
      while (i < len && text[i] == '=') {
        ++pads;
        ++i;
      }
      if (pads > 2) return 0;
      while (i < len && IsPemWhitespace(static_cast<unsigned char>(text[i]))) ++i;
      if (i < len) return 0;
      count += static_cast<size_t>(pads);
    } else {
      return 0;
    }
  }
  return count > 0 && count % 4 == 0 ? 1 : 0;
}

bool IsDerSequence(const void* data, int n) {
  const auto* b = static_cast<const uint8_t*>(data);
  if (b == nullptr || n < 2 || b[0] != 0x30) return false;
  uint64_t length = b[1];
  int header = 2;
  if (length & 0x80) {
    const int count = static_cast<int>(length & 0x7F);
    if (count == 0 || count > 4 || n < 2 + count) return false;
    length = 0;
    for (int i = 0; i < count; ++i) length = (length << 8) | b[2 + i];
    header += count;
  }
  return length == static_cast<uint64_t>(n - header);
}

int SetPemBody(ByteString& s, const char* marker, const void* data, int n) {
  if (!data || n <= 0) {
    s.Reset();
    return kOk;
  }
  const auto* b = static_cast<const uint8_t*>(data);
  bool binary = IsDerSequence(data, n);
  for (int i = 0; i < n && !binary; ++i) binary = b[i] >= 0x80;
  int rc = s.Set(data, n);
  if (rc != kOk || binary) return rc;
  if (marker && *marker) {
    int at = s.Find(marker, 0);
    if (at >= 0) {
      int end = at + static_cast<int>(std::strlen(marker));
      int len = s.length();
      const char* p = s.data();
      while (end < len && p[end] != '\n' &&
             !(p[end] == '\r' && (end + 1 >= len || p[end + 1] != '\n'))) {
        ++end;
      }
      if (end < len) ++end;  // the line end itself
      s.EraseFront(end);
      int dashes = s.Find("---", 0);
      if (dashes >= 0) {
        rc = s.Resize(dashes);
        if (rc != kOk) return rc;
      }
    }
  }
  DecodeBase64(s, false, false, true);
  return kOk;
}

// ---- Percent-encoding ----

int PercentEncode(ByteString& s, const char* text, const PercentTable& table) {
  if (!text) return kOk;
  for (const auto* p = reinterpret_cast<const uint8_t*>(text); *p; ++p) {
    int c = *p;
    int rc;
    if (c >= 32 && c < 128 && (table.flags[c - 32] & 1)) {
      rc = s.AppendByte(static_cast<uint8_t>(c));
    } else {
      char esc[3] = {'%', kHexUpper[c >> 4], kHexUpper[c & 15]};
      rc = s.Append(esc, 3);
    }
    if (rc != kOk) return rc;
  }
  return kOk;
}

int UrlEncodeUnreserved(ByteString& s, const char* text) {
  return PercentEncode(s, text, kUnreservedTable);
}

// ---- Japanese conversions ----

int ShiftJisToJis(ByteString& s, const char* text) {
  if (!text) return kOk;
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  bool double_byte = false;
  int rc = kOk;
  auto put_pair = [&](int j1, int j2) {
    if (!double_byte) {
      rc = s.Append(kEscDoubleByte, 3);
      if (rc != kOk) return;
      double_byte = true;
    }
    uint8_t pair[2] = {static_cast<uint8_t>(j1), static_cast<uint8_t>(j2)};
    rc = s.Append(pair, 2);
  };
  auto put_single = [&](uint8_t b) {
    if (double_byte) {
      rc = s.Append(kEscAscii, 3);
      if (rc != kOk) return;
      double_byte = false;
    }
    rc = s.AppendByte(b);
  };
  while (*p && rc == kOk) {
    int b = *p;
    bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF);
    if (lead && p[1] >= 0x40 && p[1] <= 0xFC && p[1] != 0x7F) {
      int j1, j2;
      SjisToJisPair(b, p[1], &j1, &j2);
      put_pair(j1, j2);
      p += 2;
    } else if (b >= 0xA1 && b <= 0xDF) {
      int used = 1;
      int code = HalfWidthKanaToJis(p, &used);
      put_pair(code >> 8, code & 0xFF);
      p += used;
    } else {
      put_single(static_cast<uint8_t>(b));
      ++p;
    }
  }
  if (rc == kOk && double_byte) rc = s.Append(kEscAscii, 3);
  return rc;
}

int JisToShiftJis(ByteString& s, const char* text) {
  if (!text) return kOk;
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  enum { kSingle, kDouble, kKana } mode = kSingle;
  int rc = kOk;
  while (*p && rc == kOk) {
    int b = *p;
    if (b == 0x1B) {
      int next = p[1];
      if (next == '$') {
        mode = kDouble;
        p += p[2] ? 3 : 2;
      } else if (next == 'K') {
        mode = kDouble;
        p += 2;
      } else if (next == '(') {
        // JIS X 0201 katakana comes in after ESC ( I.
        mode = p[2] == 'I' ? kKana : kSingle;
        p += p[2] ? 3 : 2;
      } else {
        mode = kSingle;
        p += next ? 2 : 1;
      }
      continue;
    }
    if (b == '\r' || b == '\n') {
      mode = kSingle;
      rc = s.AppendByte(static_cast<uint8_t>(b));
      ++p;
      continue;
    }
    if (mode == kDouble && b >= 0x21 && b <= 0x7E && p[1] >= 0x21 && p[1] <= 0x7E) {
      int s1, s2;
      JisToSjisPair(b, p[1], &s1, &s2);
      uint8_t pair[2] = {static_cast<uint8_t>(s1), static_cast<uint8_t>(s2)};
      rc = s.Append(pair, 2);
      p += 2;
      continue;
    }
    if (mode == kKana && b >= 0x21 && b <= 0x5F) {
      rc = s.AppendByte(static_cast<uint8_t>(b + 0x80));
    } else {
      rc = s.AppendByte(static_cast<uint8_t>(b));
    }
    ++p;
  }
  return rc;
}

// ---- Document encoding marks ----

const char* DocumentEncodingName(int encoding) {
  if (encoding < 0 || encoding > kDocUtf32Be) return kDocumentEncodingNames[0];
  return kDocumentEncodingNames[encoding];
}

int DetectDocumentEncoding(const void* bytes, int n, int* mark_length) {
  const auto* b = static_cast<const uint8_t*>(bytes);
  int mark = 0;
  int encoding = kDocUtf8;
  auto starts = [&](const char* m, int len) { return n >= len && std::memcmp(b, m, len) == 0; };
  if (!b || n <= 0) {
    encoding = kDocUtf8;
  } else if (starts("\xEF\xBB\xBF", 3)) {
    encoding = kDocUtf8;
    mark = 3;
  } else if (starts("\x00\x00\xFE\xFF", 4)) {
    encoding = kDocUtf32Be;
    mark = 4;
  } else if (starts("\xFE\xFF", 2)) {
    encoding = kDocUtf16Be;
    mark = 2;
  } else if (starts("\xFF\xFE\x00\x00", 4)) {
    encoding = kDocUtf32Le;
    mark = 4;
  } else if (starts("\xFF\xFE", 2)) {
    encoding = kDocUtf16Le;
    mark = 2;
  } else if (starts("<\x00?\x00", 4)) {
    encoding = kDocUtf16Le;
  } else if (starts("\x00<\x00?", 4)) {
    encoding = kDocUtf16Be;
  }
  if (mark_length) *mark_length = mark;
  return encoding;
}

// ---- Text tools ----

int TrimToString(ByteString& s, const char* text) {
  if (!text) {
    s.Reset();
    return kOk;
  }
  const char* begin = text;
  while (*begin && IsPemWhitespace(static_cast<unsigned char>(*begin))) ++begin;
  const char* end = begin + std::strlen(begin);
  while (end > begin && IsPemWhitespace(static_cast<unsigned char>(end[-1]))) --end;
  return s.Set(begin, static_cast<int>(end - begin));
}

const char* StrChr(const char* text, int c) {
  if (!text) return nullptr;
  return std::strchr(text, c);
}

const char* StrStr(const char* haystack, const char* needle) {
  if (!haystack || !needle) return nullptr;
  return std::strstr(haystack, needle);
}

const char* StrIStr(const char* haystack, const char* needle) {
  if (!haystack || !*haystack || !needle) return nullptr;
  if (!*needle) return haystack;
  for (const char* h = haystack; *h; ++h) {
    const char* a = h;
    const char* b = needle;
    while (*a && *b &&
           ToLowerAscii(static_cast<unsigned char>(*a)) ==
               ToLowerAscii(static_cast<unsigned char>(*b))) {
      ++a;
      ++b;
    }
    if (!*b) return h;
    if (!*a) return nullptr;
  }
  return nullptr;
}

int StrNCmp(const char* a, const char* b, int n) {
  if (n <= 0) return 0;
  return std::strncmp(a, b, static_cast<size_t>(n));
}

int StrNICmp(const char* a, const char* b, int n) {
  for (int i = 0; i < n; ++i) {
    int ca = ToLowerAscii(static_cast<unsigned char>(a[i]));
    int cb = ToLowerAscii(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

char* SplitAtChar(char* text, int c) {
  if (!text) return nullptr;
  char* at = std::strchr(text, c);
  if (!at || c == 0) return nullptr;
  *at = 0;
  return at + 1;
}

int FormatGuid(ByteString& s, const uint8_t guid[16]) {
  uint32_t d1 = guid[0] | (guid[1] << 8) | (guid[2] << 16) | (static_cast<uint32_t>(guid[3]) << 24);
  unsigned d2 = guid[4] | (guid[5] << 8);
  unsigned d3 = guid[6] | (guid[7] << 8);
  return s.Format("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", d1, d2, d3, guid[8], guid[9],
                  guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
}

bool HasNonAscii(const char* text) { return !IsAllAscii(text); }

bool IsAllAscii(const char* text) {
  if (!text) return true;
  for (const auto* p = reinterpret_cast<const uint8_t*>(text); *p; ++p) {
    if (*p >= 0x80) return false;
  }
  return true;
}

}  // namespace tw
