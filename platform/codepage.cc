#include "platform/codepage.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

namespace win {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr unsigned kCp1252 = 1252;
constexpr unsigned kCpLatin1 = 28591;
constexpr unsigned kCpAscii = 20127;

// 1252 bytes 0x80..0x9F. The five holes keep their own number, as the home platform does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98
};

// Code pages served by glibc iconv, with the name it knows them by.
struct IconvName {
  unsigned codepage;
  const char* name;
};

constexpr IconvName kIconvNames[] = {
    {437, "CP437"},         {737, "CP737"},         {775, "CP775"},          {850, "CP850"},
    {852, "CP852"},         {855, "CP855"},         {857, "CP857"},          {860, "CP860"},
    {861, "CP861"},         {862, "CP862"},         {863, "CP863"},          {864, "CP864"},
    {865, "CP865"},         {866, "CP866"},         {869, "CP869"},          {874, "CP874"},
    {932, "CP932"},         {936, "CP936"},         {949, "CP949"},          {950, "CP950"},
    {1250, "CP1250"},       {1251, "CP1251"},       {1253, "CP1253"},        {1254, "CP1254"},
    {1255, "CP1255"},       {1256, "CP1256"},       {1257, "CP1257"},        {1258, "CP1258"},
    {1361, "JOHAB"},        {10000, "MACINTOSH"},   {10007, "MAC-CYRILLIC"}, {20866, "KOI8-R"},
    {20932, "EUC-JP"},      {20936, "GB2312"},      {21866, "KOI8-U"},       {28592, "ISO-8859-2"},
    {28593, "ISO-8859-3"},  {28594, "ISO-8859-4"},  {28595, "ISO-8859-5"},   {28596, "ISO-8859-6"},
    {28597, "ISO-8859-7"},  {28598, "ISO-8859-8"},  {28599, "ISO-8859-9"},   {28603, "ISO-8859-13"},
    {28605, "ISO-8859-15"}, {50220, "ISO-2022-JP"}, {50221, "ISO-2022-JP"},  {50222, "ISO-2022-JP"},
    {50225, "ISO-2022-KR"}, {51932, "EUC-JP"},      {51936, "GB2312"},       {51949, "EUC-KR"},
    {54936, "GB18030"},     {65000, "UTF-7"},
};

std::atomic<unsigned> g_acp{CP_UTF8};

const char* IconvNameOf(unsigned cp) {
  for (const auto& e : kIconvNames) {
    if (e.codepage == cp) return e.name;
  }
  return nullptr;
}

unsigned Resolve(unsigned cp) {
  // OEM, Mac and thread code pages all follow the ANSI one here.
  if (cp == CP_ACP || cp == CP_OEMCP || cp == CP_MACCP || cp == CP_THREAD_ACP) return g_acp.load();
  return cp;
}

bool OwnCodePage(unsigned cp) {
  return cp == CP_UTF8 || cp == kCp1252 || cp == kCpLatin1 || cp == kCpAscii;
}

int Fail(DWORD code) {
  SetLastError(code);
  return 0;
}

// The buffer checks both directions make before anything else.
bool BadBuffers(const void* src, int srclen, const void* dst, int dstlen) {
  return !src || srclen == 0 || srclen < -1 || dstlen < 0 || (dstlen > 0 && !dst) || (dst && src == dst);
}

// Hands the converted text over: its length when dstlen is 0, else a copy into dst.
template <class Char>
int Deliver(const std::basic_string<Char>& out, Char* dst, int dstlen) {
  if (out.size() > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  int count = static_cast<int>(out.size());
  if (count == 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  if (dstlen == 0) return count;
  if (dstlen < count) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(dst, out.data(), out.size() * sizeof(Char));
  return count;
}

// Closes an iconv descriptor with its owner.
class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (ok()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// ---- 8-bit to UTF-16 ----

// Well-formed UTF-8 per the Unicode table; an ill-formed part becomes one U+FFFD per maximal
// subpart, so the byte that broke a sequence is decoded on its own.
// Where decoded characters go: only counted when the caller asks for the length, or straight
// into the caller's buffer, which avoids a temporary copy of the whole text.
class WideCounter {
 public:
  void push_back(char16_t) { ++count_; }
  size_t size() const { return count_; }
  bool overflow() const { return false; }

 private:
  size_t count_ = 0;
};

class WideWriter {
 public:
  WideWriter(char16_t* dst, int capacity) : dst_(dst), capacity_(static_cast<size_t>(capacity)) {}
  void push_back(char16_t c) {
    if (count_ < capacity_) {
      dst_[count_] = c;
    } else {
      overflow_ = true;
    }
    ++count_;
  }
  size_t size() const { return count_; }
  bool overflow() const { return overflow_; }

 private:
  char16_t* dst_;
  size_t capacity_;
  size_t count_ = 0;
  bool overflow_ = false;
};

template <class Out>
bool DecodeUtf8(const unsigned char* s, size_t n, bool strict, Out& out) {
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, s + i, sizeof word);
      if ((word & 0x8080808080808080ull) != 0) break;
      for (int k = 0; k < 8; ++k) out.push_back(s[i + k]);
      i += 8;
    }
    if (i >= n) break;
    unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      if (strict) return false;
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t k = 1;
    bool good = true;
    for (; k <= static_cast<size_t>(need); ++k) {
      if (i + k >= n) {
        good = false;
        break;
      }
      unsigned char c = s[i + k];
      if (c < lo || c > hi) {
        good = false;
        break;
      }
      lo = 0x80;
      hi = 0xBF;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!good) {
      if (strict) return false;
      out.push_back(kReplacement);
      i += k;
      continue;
    }
    i += need + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return true;
}

template <class Out>
bool DecodeSingleByte(unsigned cp, const unsigned char* s, size_t n, bool strict, Out& out) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
    } else if (cp == kCp1252 && b < 0xA0) {
      out.push_back(kCp1252High[b - 0x80]);
    } else if (cp == kCpAscii) {
      if (strict) return false;
      out.push_back(kReplacement);
    } else {
      out.push_back(b);
    }
  }
  return true;
}

template <class Sink>
int DecodeOwn(unsigned cp, const unsigned char* s, size_t n, bool strict, Sink& sink) {
  bool ok = cp == CP_UTF8 ? DecodeUtf8(s, n, strict, sink) : DecodeSingleByte(cp, s, n, strict, sink);
  if (!ok || sink.size() == 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  if (sink.size() > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  if (sink.overflow()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  return static_cast<int>(sink.size());
}

// One iconv call appending to buf at `used`, growing buf while it is too small. Null `in` and
// `inleft` flush the shift state. False, with errno from iconv, when it stops on anything else.
bool IconvInto(iconv_t cd, char** in, size_t* inleft, std::string& buf, size_t& used) {
  for (;;) {
    char* op = buf.data() + used;
    size_t oleft = buf.size() - used;
    size_t r = iconv(cd, in, inleft, &op, &oleft);
    used = buf.size() - oleft;
    if (r != static_cast<size_t>(-1)) return true;
    if (errno != E2BIG) return false;
    buf.resize(buf.size() * 2);
  }
}

// Returns 0 or the error to set.
DWORD DecodeIconv(const char* name, const char* s, size_t n, bool strict, std::u16string& out) {
  IconvHandle cd("UTF-16LE", name);
  if (!cd.ok()) return ERROR_INVALID_PARAMETER;
  std::string buf(n * 4 + 16, '\0');
  size_t used = 0;
  char* in = const_cast<char*>(s);
  size_t inleft = n;
  while (!IconvInto(cd.get(), &in, &inleft, buf, used)) {
    if (errno != EILSEQ && errno != EINVAL) return ERROR_INVALID_PARAMETER;
    if (strict) return ERROR_NO_UNICODE_TRANSLATION;
    // Skip the offending byte and mark its place.
    if (buf.size() - used < 2) buf.resize(buf.size() * 2);
    buf[used++] = static_cast<char>(0xFD);
    buf[used++] = static_cast<char>(0xFF);
    ++in;
    --inleft;
  }
  if (!IconvInto(cd.get(), nullptr, nullptr, buf, used)) return ERROR_INVALID_PARAMETER;
  out.resize(used / 2);
  std::memcpy(out.data(), buf.data(), used / 2 * 2);
  return 0;
}

// ---- UTF-16 to 8-bit ----

// Lone surrogates become U+FFFD (or fail when strict).
bool EncodeUtf8(const char16_t* s, size_t n, bool strict, std::string& out) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
        ++i;
      } else {
        if (strict) return false;
        c = kReplacement;
      }
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

int EncodeSingleByteChar(unsigned cp, char16_t c) {
  if (c < 0x80) return c;
  if (cp == kCpAscii) return -1;
  if (cp == kCpLatin1) return c <= 0xFF ? c : -1;
  if (c >= 0xA0 && c <= 0xFF) return c;
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == c) return 0x80 + i;
  }
  return -1;
}

void AppendDefault(std::string& out, const std::string& def, bool& defaulted) {
  out += def;
  defaulted = true;
}

void EncodeSingleByte(unsigned cp, const char16_t* s, size_t n, const std::string& def,
                      std::string& out, bool& defaulted) {
  for (size_t i = 0; i < n; ++i) {
    char16_t c = s[i];
    // A surrogate pair is one character and gets one default.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      ++i;
      AppendDefault(out, def, defaulted);
      continue;
    }
    int b = EncodeSingleByteChar(cp, c);
    if (b < 0) {
      AppendDefault(out, def, defaulted);
    } else {
      out.push_back(static_cast<char>(b));
    }
  }
}

DWORD EncodeIconv(const char* name, const char16_t* s, size_t n, const std::string& def,
                  std::string& out, bool& defaulted) {
  IconvHandle cd(name, "UTF-16LE");
  if (!cd.ok()) return ERROR_INVALID_PARAMETER;
  std::string buf(n * 4 + 16, '\0');
  size_t used = 0;
  char* in = reinterpret_cast<char*>(const_cast<char16_t*>(s));
  size_t inleft = n * 2;
  while (!IconvInto(cd.get(), &in, &inleft, buf, used)) {
    if (errno != EILSEQ && errno != EINVAL) return ERROR_INVALID_PARAMETER;
    // Back to the initial shift state, so the default bytes mean what they say.
    IconvInto(cd.get(), nullptr, nullptr, buf, used);
    while (buf.size() < used + def.size() + 1) buf.resize(buf.size() * 2);
    std::memcpy(buf.data() + used, def.data(), def.size());
    used += def.size();
    defaulted = true;
    size_t skip = 2;
    char16_t c;
    std::memcpy(&c, in, 2);
    if (c >= 0xD800 && c <= 0xDBFF && inleft >= 4) {
      char16_t d;
      std::memcpy(&d, in + 2, 2);
      if (d >= 0xDC00 && d <= 0xDFFF) skip = 4;
    }
    if (skip > inleft) skip = inleft;
    in += skip;
    inleft -= skip;
  }
  if (!IconvInto(cd.get(), nullptr, nullptr, buf, used)) return ERROR_INVALID_PARAMETER;
  out.assign(buf.data(), used);
  return 0;
}

}  // namespace

unsigned GetACP() { return g_acp.load(); }

void SetACPForTesting(unsigned codepage) { g_acp.store(codepage == CP_ACP ? CP_UTF8 : codepage); }

bool IsValidCodePage(unsigned codepage) {
  if (OwnCodePage(codepage)) return true;
  const char* name = IconvNameOf(codepage);
  if (!name) return false;
  IconvHandle cd("UTF-16LE", name);
  return cd.ok();
}

int MultiByteToWideChar(unsigned codepage, DWORD flags, const char* src, int srclen, char16_t* dst,
                        int dstlen) {
  if (BadBuffers(src, srclen, dst, dstlen)) return Fail(ERROR_INVALID_PARAMETER);
  unsigned cp = Resolve(codepage);
  if (cp == CP_UTF8 && (flags & ~MB_ERR_INVALID_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);
  if (cp == CP_UTF7 && flags != 0) return Fail(ERROR_INVALID_FLAGS);
  const char* name = OwnCodePage(cp) ? nullptr : IconvNameOf(cp);
  if (!OwnCodePage(cp) && !name) return Fail(ERROR_INVALID_PARAMETER);

  size_t n = srclen == -1 ? std::strlen(src) + 1 : static_cast<size_t>(srclen);
  bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
  const auto* s = reinterpret_cast<const unsigned char*>(src);
  if (OwnCodePage(cp)) {
    if (dstlen == 0) {
      WideCounter counter;
      return DecodeOwn(cp, s, n, strict, counter);
    }
    WideWriter writer(dst, dstlen);
    return DecodeOwn(cp, s, n, strict, writer);
  }
  std::u16string out;
  try {
    DWORD err = DecodeIconv(name, src, n, strict, out);
    if (err) return Fail(err);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  return Deliver(out, dst, dstlen);
}

int WideCharToMultiByte(unsigned codepage, DWORD flags, const char16_t* src, int srclen, char* dst,
                        int dstlen, const char* default_char, int* used_default) {
  if (BadBuffers(src, srclen, dst, dstlen)) return Fail(ERROR_INVALID_PARAMETER);
  unsigned cp = Resolve(codepage);
  bool utf = cp == CP_UTF8 || cp == CP_UTF7;
  if (utf && (default_char || used_default)) return Fail(ERROR_INVALID_PARAMETER);
  if (cp == CP_UTF8 && (flags & ~WC_ERR_INVALID_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);
  if (cp == CP_UTF7 && flags != 0) return Fail(ERROR_INVALID_FLAGS);
  if (!utf && (flags & WC_ERR_INVALID_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);
  const char* name = OwnCodePage(cp) ? nullptr : IconvNameOf(cp);
  if (!OwnCodePage(cp) && !name) return Fail(ERROR_INVALID_PARAMETER);

  size_t n = 0;
  if (srclen == -1) {
    while (src[n] != 0) ++n;
    ++n;
  } else {
    n = static_cast<size_t>(srclen);
  }
  bool defaulted = false;
  std::string out;
  try {
    std::string def = "?";
    if (default_char) {
      size_t dl = std::strlen(default_char);
      def.assign(default_char, dl == 0 ? 1 : (dl > 2 ? 2 : dl));
    }
    if (cp == CP_UTF8) {
      if (!EncodeUtf8(src, n, (flags & WC_ERR_INVALID_CHARS) != 0, out)) {
        return Fail(ERROR_NO_UNICODE_TRANSLATION);
      }
    } else if (OwnCodePage(cp)) {
      EncodeSingleByte(cp, src, n, def, out, defaulted);
    } else {
      DWORD err = EncodeIconv(name, src, n, def, out, defaulted);
      if (err) return Fail(err);
    }
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  int count = Deliver(out, dst, dstlen);
  if (count != 0 && used_default) *used_default = defaulted ? 1 : 0;
  return count;
}

}  // namespace win
