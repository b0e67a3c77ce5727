#include "platform/codepage.h"

#include <iconv.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
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

// One character (or one ill-formed part) at s[0..n): its UTF-16 units in `units`, the number
// of units as the result (0 when strict and ill-formed), the bytes it took in `used`.
int DecodeUtf8One(const unsigned char* s, size_t n, bool strict, char16_t units[2], size_t& used) {
  const unsigned char b = s[0];
  used = 1;
  if (b < 0x80) {
    units[0] = b;
    return 1;
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
    if (strict) return 0;
    units[0] = kReplacement;
    return 1;
  }
  size_t k = 1;
  for (; k <= static_cast<size_t>(need); ++k) {
    if (k >= n || s[k] < lo || s[k] > hi) {
      if (strict) return 0;
      units[0] = kReplacement;
      used = k;
      return 1;
    }
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (s[k] & 0x3F);
  }
  used = k;
  if (cp < 0x10000) {
    units[0] = static_cast<char16_t>(cp);
    return 1;
  }
  cp -= 0x10000;
  units[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
  units[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  return 2;
}

// The same for a lead byte C2..F4 with at least three bytes after it, without branches: random
// input sends a start every twenty bytes or so, where branches would mostly guess wrong. The
// units come packed, the first in the low half, to be stored at once (dst has room).

// Per lead byte C0..FF: continuation bytes needed, the first one's lowest value and its span.
struct LeadRule {
  uint8_t need;
  uint8_t lo;
  uint8_t span;
};

constexpr std::array<LeadRule, 64> MakeLeadRules() {
  std::array<LeadRule, 64> t{};
  for (unsigned b = 0xC0; b <= 0xFF; ++b) {
    const uint8_t need = b >= 0xF0 ? 3 : (b >= 0xE0 ? 2 : 1);
    const unsigned lo = b == 0xE0 ? 0xA0 : (b == 0xF0 ? 0x90 : 0x80);
    const unsigned hi = b == 0xED ? 0x9F : (b == 0xF4 ? 0x8F : 0xBF);
    t[b - 0xC0] = {need, static_cast<uint8_t>(lo), static_cast<uint8_t>(hi - lo)};
  }
  return t;
}
constexpr std::array<LeadRule, 64> kLeadRules = MakeLeadRules();

struct LeadResult {
  uint32_t units;
  unsigned count;
  unsigned used;
  bool invalid;
};

inline LeadResult DecodeUtf8Lead(const unsigned char* s) {
  uint32_t w;
  std::memcpy(&w, s, sizeof w);
  const unsigned b0 = s[0], b1 = s[1], b2 = s[2], b3 = s[3];
  const LeadRule rule = kLeadRules[(b0 - 0xC0) & 0x3F];
  const unsigned need = rule.need;
  const unsigned v1 = b1 - rule.lo <= rule.span;
  const unsigned v2 = v1 & ((b2 & 0xC0) == 0x80) & (need >= 2);
  const unsigned v3 = v2 & ((b3 & 0xC0) == 0x80) & (need >= 3);
  const unsigned k = v1 + v2 + v3;
  const uint32_t complete = 0u - static_cast<uint32_t>(k == need);
  const uint32_t payload =
      ((b0 & (0x3Fu >> need)) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
  const uint32_t cp = payload >> (6 * (3 - need));
  const uint32_t pair = complete & (0u - static_cast<uint32_t>(cp >= 0x10000));
  const uint32_t surrogates = (0xD800 + ((cp - 0x10000) >> 10)) | (0xDC00 + (cp & 0x3FF)) << 16;
  const uint32_t decoded = (surrogates & pair) | (cp & ~pair);
  return {(decoded & complete) | (kReplacement & ~complete), 1 + (pair & 1), k + 1, complete == 0};
}

// Two packed units as one store.
inline void StorePacked(char16_t* dst, uint32_t units) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, &units, sizeof units);
  } else {
    dst[0] = static_cast<char16_t>(units);
    dst[1] = static_cast<char16_t>(units >> 16);
  }
}

// The block primitives. Bits() marks in `starts` the bytes that may start a sequence of more
// than one byte (a lead byte C2..F4 followed by a continuation byte) and in `high` the bytes from
// 0x80 up. The start test is loose (E0 80 passes), which only sends a few more positions to the
// lead decoder; it never lets a real sequence through as single bytes. Alone() writes each
// byte's unit as if it stood alone: itself when ASCII, else U+FFFD. Ascii() widens whole blocks
// of ASCII and says how many bytes it took.
struct BlockBits {
  uint64_t starts;
  uint64_t high;
};

struct WordBlocks {
  static constexpr unsigned kBlock = 8;
  static size_t Ascii(const unsigned char* s, size_t n, char16_t* dst) {
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
      uint64_t word;
      std::memcpy(&word, s + i, sizeof word);
      if ((word & 0x8080808080808080ull) != 0) break;
      if (dst != nullptr) {
        for (unsigned k = 0; k < kBlock; ++k) dst[i + k] = s[i + k];
      }
    }
    return i;
  }
  static BlockBits Bits(const unsigned char* s) {
    BlockBits bits{0, 0};
    for (unsigned k = 0; k < kBlock; ++k) {
      const unsigned char b = s[k];
      if (b >= 0x80) bits.high |= uint64_t{1} << k;
      if (b >= 0xC2 && b <= 0xF4 && (s[k + 1] & 0xC0) == 0x80) bits.starts |= uint64_t{1} << k;
    }
    return bits;
  }
  static void Alone(const unsigned char* s, char16_t* dst) {
    for (unsigned k = 0; k < kBlock; ++k) dst[k] = s[k] < 0x80 ? s[k] : kReplacement;
  }
};

#if defined(__x86_64__) || defined(__i386__)

// Blocks of two (SSE2) or two (AVX2) registers: the fewer blocks, the fewer guesses about how
// many sequences a block holds.
struct Sse2Blocks {
  static constexpr unsigned kBlock = 32;
  static size_t Ascii(const unsigned char* s, size_t n, char16_t* dst) {
    size_t i = 0;
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      if (_mm_movemask_epi8(v) != 0) break;
      if (dst != nullptr) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8), _mm_unpackhi_epi8(v, zero));
      }
    }
    return i;
  }
  static BlockBits Half(const unsigned char* s) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 1));
    const __m128i biased = _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i lead = _mm_and_si128(_mm_cmpgt_epi8(biased, _mm_set1_epi8(0x41)),
                                       _mm_cmplt_epi8(biased, _mm_set1_epi8(0x75)));
    const __m128i cont = _mm_cmplt_epi8(next, _mm_set1_epi8(static_cast<char>(0xC0)));
    return {static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(lead, cont))),
            static_cast<uint32_t>(_mm_movemask_epi8(v))};
  }
  static BlockBits Bits(const unsigned char* s) {
    const BlockBits lo = Half(s), hi = Half(s + 16);
    return {lo.starts | hi.starts << 16, lo.high | hi.high << 16};
  }
  static void Alone(const unsigned char* s, char16_t* dst) {
    AloneHalf(s, dst);
    AloneHalf(s + 16, dst + 16);
  }
  static void AloneHalf(const unsigned char* s, char16_t* dst) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i high = _mm_cmplt_epi8(v, _mm_setzero_si128());
    const __m128i fffd = _mm_set1_epi16(static_cast<short>(kReplacement));
    const __m128i zero = _mm_setzero_si128();
    const __m128i mlo = _mm_unpacklo_epi8(high, high);
    const __m128i mhi = _mm_unpackhi_epi8(high, high);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                     _mm_or_si128(_mm_andnot_si128(mlo, _mm_unpacklo_epi8(v, zero)), _mm_and_si128(mlo, fffd)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8),
                     _mm_or_si128(_mm_andnot_si128(mhi, _mm_unpackhi_epi8(v, zero)), _mm_and_si128(mhi, fffd)));
  }
};

// pshufb controls that pack the 16-bit lanes named by an 8-bit mask to the front of a register.
constexpr std::array<std::array<uint8_t, 16>, 256> MakeCompressTable() {
  std::array<std::array<uint8_t, 16>, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    unsigned k = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((m >> lane & 1) == 0) continue;
      t[m][k++] = static_cast<uint8_t>(2 * lane);
      t[m][k++] = static_cast<uint8_t>(2 * lane + 1);
    }
    while (k < 16) t[m][k++] = 0x80;
  }
  return t;
}
alignas(16) constexpr std::array<std::array<uint8_t, 16>, 256> kCompress = MakeCompressTable();

struct Avx2Blocks {
  static constexpr unsigned kBlock = 64;
  // Text of one- to three-byte characters (Latin, Greek, the euro sign...), sixteen bytes at a
  // time: every position decoded as if it started a character, continuation positions packed
  // out. It stops before the first byte that is anything else (a four-byte sequence, any
  // ill-formed part, a character cut by the end of the group) and leaves it to the block code,
  // so it only ever takes characters that decode the same there. s[0..n+2) is readable; dst, when
  // given, has room for n + 16 units from dst + out. Returns the bytes taken; `out` counts the
  // units.
  __attribute__((target("avx2"))) static size_t Latin(const unsigned char* s, size_t n, char16_t* dst, size_t& out) {
    size_t i = 0;
    const __m128i c0 = _mm_set1_epi8(static_cast<char>(0xC0));
    while (i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 1));
      const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 2));
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
      if (high == 0) {
        // All ASCII.
        if (dst != nullptr) {
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + out), _mm256_cvtepu8_epi16(v));
        }
        out += 16;
        i += 16;
        continue;
      }
      // Signed compares: 80..BF continuation, C2..DF two-byte lead, E0..EF three-byte lead.
      const __m128i cont = _mm_cmplt_epi8(v, c0);
      const __m128i cont1 = _mm_cmplt_epi8(v1, c0);
      const __m128i cont2 = _mm_cmplt_epi8(v2, c0);
      const __m128i lead2 = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC1))),
                                          _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xE0))));
      const __m128i lead3 = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(0xDF))),
                                          _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xF0))));
      // E0 needs A0..BF next (no overlong form), ED 80..9F (no surrogate).
      const __m128i low1 = _mm_cmplt_epi8(v1, _mm_set1_epi8(static_cast<char>(0xA0)));
      const __m128i e0 = _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE0))), low1);
      const __m128i ed = _mm_andnot_si128(low1, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xED))));
      const __m128i good3 = _mm_andnot_si128(_mm_or_si128(e0, ed), _mm_and_si128(lead3, _mm_and_si128(cont1, cont2)));
      const unsigned m2 = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(lead2, cont1)));
      const unsigned m3 = static_cast<unsigned>(_mm_movemask_epi8(good3));
      const unsigned c = static_cast<unsigned>(_mm_movemask_epi8(cont));
      const unsigned covered = m2 << 1 | m3 << 1 | m3 << 2;
      const unsigned bad = high & ~(m2 | m3 | (c & covered));
      unsigned take = static_cast<unsigned>(__builtin_ctz(bad | 0x10000u));
      if (take == 16) {
        const unsigned cut = (m2 & 0x8000u) | (m3 & 0xC000u);
        if (cut != 0) take = static_cast<unsigned>(__builtin_ctz(cut));
      }
      const unsigned keep = ~c & ((1u << take) - 1);
      if (dst != nullptr) {
        const __m256i b0 = _mm256_cvtepu8_epi16(v);
        const __m256i b1 = _mm256_and_si256(_mm256_cvtepu8_epi16(v1), _mm256_set1_epi16(0x3F));
        const __m256i b2 = _mm256_and_si256(_mm256_cvtepu8_epi16(v2), _mm256_set1_epi16(0x3F));
        const __m256i two = _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(b0, _mm256_set1_epi16(0x1F)), 6), b1);
        const __m256i three = _mm256_or_si256(_mm256_slli_epi16(b0, 12), _mm256_or_si256(_mm256_slli_epi16(b1, 6), b2));
        __m256i units = _mm256_blendv_epi8(b0, two, _mm256_cvtepi8_epi16(lead2));
        units = _mm256_blendv_epi8(units, three, _mm256_cvtepi8_epi16(lead3));
        const unsigned lo = keep & 0xFF, hi = keep >> 8;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + out),
                         _mm_shuffle_epi8(_mm256_castsi256_si128(units),
                                          _mm_load_si128(reinterpret_cast<const __m128i*>(kCompress[lo].data()))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + out + __builtin_popcount(lo)),
                         _mm_shuffle_epi8(_mm256_extracti128_si256(units, 1),
                                          _mm_load_si128(reinterpret_cast<const __m128i*>(kCompress[hi].data()))));
      }
      out += static_cast<size_t>(__builtin_popcount(keep));
      i += take;
      if (take < 14) break;
    }
    return i;
  }
  __attribute__((target("avx2"))) static size_t Ascii(const unsigned char* s, size_t n, char16_t* dst) {
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
      if (_mm256_movemask_epi8(v) != 0) break;
      if (dst != nullptr) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 16),
                            _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1)));
      }
    }
    return i;
  }
  __attribute__((target("avx2"))) static BlockBits Bits(const unsigned char* s) {
    const BlockBits lo = Half(s), hi = Half(s + 32);
    return {lo.starts | hi.starts << 32, lo.high | hi.high << 32};
  }
  __attribute__((target("avx2"))) static void Alone(const unsigned char* s, char16_t* dst) {
    AloneHalf(s, dst);
    AloneHalf(s + 32, dst + 32);
  }
  __attribute__((target("avx2"))) static BlockBits Half(const unsigned char* s) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 1));
    const __m256i biased = _mm256_xor_si256(v, _mm256_set1_epi8(static_cast<char>(0x80)));
    const __m256i lead = _mm256_and_si256(_mm256_cmpgt_epi8(biased, _mm256_set1_epi8(0x41)),
                                          _mm256_cmpgt_epi8(_mm256_set1_epi8(0x75), biased));
    const __m256i cont = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(0xC0)), next);
    return {static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(lead, cont))),
            static_cast<uint32_t>(_mm256_movemask_epi8(v))};
  }
  __attribute__((target("avx2"))) static void AloneHalf(const unsigned char* s, char16_t* dst) {
    const __m128i lo8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i hi8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
    const __m256i fffd = _mm256_set1_epi16(static_cast<short>(kReplacement));
    const __m256i lo = _mm256_cvtepi8_epi16(lo8);  // sign-extended: high bytes turn negative
    const __m256i hi = _mm256_cvtepi8_epi16(hi8);
    const __m256i zero = _mm256_setzero_si256();
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_blendv_epi8(lo, fffd, _mm256_cmpgt_epi16(zero, lo)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 16),
                        _mm256_blendv_epi8(hi, fffd, _mm256_cmpgt_epi16(zero, hi)));
  }
};
#endif

// The decoder's result: the number of UTF-16 units, whether the input was ill-formed under the
// strict rule, and whether dst (when given) was too small. Units past `capacity` are counted
// but not written.
struct Utf8Decoded {
  size_t units = 0;
  bool invalid = false;
  bool overflow = false;
};

// Bits lo..hi-1 of a block mask.
inline uint64_t BitRange(unsigned lo, unsigned hi) {
  const uint64_t below_hi = hi >= 64 ? ~uint64_t{0} : (uint64_t{1} << hi) - 1;
  return below_hi & ~((uint64_t{1} << lo) - 1);
}

template <class Blocks>
Utf8Decoded DecodeUtf8With(const unsigned char* s, size_t n, bool strict, char16_t* dst, size_t capacity) {
  constexpr unsigned kBlock = Blocks::kBlock;
  Utf8Decoded r;
  size_t i = 0;
  size_t out = 0;
  unsigned latin_wait = 0;  // blocks to go before the Latin run is tried again
  // Blocks while two blocks are left in the input (a run is converted from wherever it starts)
  // and dst has room for two blocks of units (runs are written whole and the excess overwritten
  // by what follows).
  while (i + 2 * kBlock <= n && (dst == nullptr || capacity - out >= 2 * kBlock)) {
    const size_t room = dst == nullptr ? n : capacity - out - kBlock;
    const size_t ascii = Blocks::Ascii(s + i, std::min(n - i - kBlock, room), dst != nullptr ? dst + out : nullptr);
    i += ascii;
    out += ascii;
    if (i + 2 * kBlock > n || (dst != nullptr && capacity - out < 2 * kBlock)) break;
    if constexpr (requires(size_t u) { Blocks::Latin(s, n, dst, u); }) {
      if (latin_wait > 0) {
        --latin_wait;
      } else {
        // Units never outnumber bytes, so a run of that many bytes leaves room for its last
        // stores.
        const size_t limit = std::min(n - i - kBlock, dst == nullptr ? n : capacity - out - kBlock);
        const size_t taken = Blocks::Latin(s + i, limit, dst, out);
        i += taken;
        if (taken >= 16) continue;
        // A short run is no sign of such text (random bytes): leave it for a few blocks.
        latin_wait = 8;
        if (i + 2 * kBlock > n || (dst != nullptr && capacity - out < 2 * kBlock)) break;
      }
    }
    const BlockBits bits = Blocks::Bits(s + i);
    uint64_t starts = bits.starts;
    unsigned pos = 0;
    for (;;) {
      const unsigned at = starts != 0 ? static_cast<unsigned>(__builtin_ctzll(starts)) : kBlock;
      // Bytes pos..at-1 each stand alone.
      if (strict && (bits.high & BitRange(pos, at)) != 0) {
        r.invalid = true;
        return r;
      }
      if (dst != nullptr) Blocks::Alone(s + i + pos, dst + out);
      out += at - pos;
      pos = at;
      if (at == kBlock) break;
      const LeadResult lead = DecodeUtf8Lead(s + i + at);  // at < kBlock: four bytes are there
      if (strict && lead.invalid) {
        r.invalid = true;
        return r;
      }
      if (dst != nullptr) StorePacked(dst + out, lead.units);
      out += lead.count;
      pos = at + lead.used;
      if (pos >= kBlock) break;
      starts &= ~uint64_t{0} << pos;
    }
    i += pos;
  }
  // The rest one character at a time.
  while (i < n) {
    char16_t units[2];
    size_t used;
    const int count = DecodeUtf8One(s + i, n - i, strict, units, used);
    if (count == 0) {
      r.invalid = true;
      return r;
    }
    for (int k = 0; k < count; ++k, ++out) {
      if (dst == nullptr) continue;
      if (out < capacity) {
        dst[out] = units[k];
      } else {
        r.overflow = true;
      }
    }
    i += used;
  }
  r.units = out;
  return r;
}

Utf8Decoded DecodeUtf8Word(const unsigned char* s, size_t n, bool strict, char16_t* dst, size_t capacity) {
  return DecodeUtf8With<WordBlocks>(s, n, strict, dst, capacity);
}

#if defined(__x86_64__) || defined(__i386__)
// Flattened so that the block primitives are inlined into the loop (and, for AVX2, compiled
// for the wider unit together with it).
__attribute__((flatten)) Utf8Decoded DecodeUtf8Sse2(const unsigned char* s, size_t n, bool strict, char16_t* dst, size_t capacity) {
  return DecodeUtf8With<Sse2Blocks>(s, n, strict, dst, capacity);
}

__attribute__((flatten, target("avx2"))) Utf8Decoded DecodeUtf8Avx2(const unsigned char* s, size_t n, bool strict,
                                                           char16_t* dst, size_t capacity) {
  return DecodeUtf8With<Avx2Blocks>(s, n, strict, dst, capacity);
}
#endif

using Utf8Decoder = Utf8Decoded (*)(const unsigned char*, size_t, bool, char16_t*, size_t);

// 0 the portable blocks, 1 SSE2, 2 AVX2 where the processor has it.
Utf8Decoder Utf8DecoderOf(int level) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (level >= 2 && __builtin_cpu_supports("avx2")) return DecodeUtf8Avx2;
  if (level >= 1) return DecodeUtf8Sse2;
#endif
  return DecodeUtf8Word;
}

std::atomic<Utf8Decoder> g_utf8_decoder{Utf8DecoderOf(2)};

Utf8Decoded DecodeUtf8(const unsigned char* s, size_t n, bool strict, char16_t* dst,
                       size_t capacity) {
  return g_utf8_decoder.load(std::memory_order_relaxed)(s, n, strict, dst, capacity);
}

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
  bool ok = DecodeSingleByte(cp, s, n, strict, sink);
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

int SetUtf8DecoderForTesting(int level) {
  if (level < 0 || level > 2) level = 2;
  g_utf8_decoder.store(Utf8DecoderOf(level));
  while (level > 0 && Utf8DecoderOf(level) == Utf8DecoderOf(level - 1)) --level;
  return level;
}

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
  if (cp == CP_UTF8) {
    const Utf8Decoded r = DecodeUtf8(s, n, strict, dstlen == 0 ? nullptr : dst,
                                     static_cast<size_t>(dstlen));
    if (r.invalid || r.units == 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    if (r.units > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
    if (r.overflow) return Fail(ERROR_INSUFFICIENT_BUFFER);
    return static_cast<int>(r.units);
  }
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
