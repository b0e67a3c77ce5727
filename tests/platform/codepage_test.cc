#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace {

using win::GetLastError;
using win::MultiByteToWideChar;
using win::WideCharToMultiByte;
using DWORD = win::DWORD;

using testsupport::Hex;
using testsupport::Unhex;

std::u16string ToWide(unsigned cp, const std::string& s, DWORD flags = 0, int* ok = nullptr) {
  std::u16string w;
  if (ok) *ok = 1;
  if (s.empty()) return w;
  int n = MultiByteToWideChar(cp, flags, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n == 0) {
    if (ok) *ok = 0;
    return w;
  }
  w.resize(n);
  int m = MultiByteToWideChar(cp, flags, s.data(), static_cast<int>(s.size()), w.data(), n);
  EXPECT_EQ(m, n);
  return w;
}

std::string ToBytes(unsigned cp, const std::u16string& w, int* used_default = nullptr,
                    DWORD flags = 0, int* ok = nullptr) {
  std::string s;
  if (ok) *ok = 1;
  if (w.empty()) return s;
  int n = WideCharToMultiByte(cp, flags, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              used_default);
  if (n == 0) {
    if (ok) *ok = 0;
    return s;
  }
  s.resize(n);
  int m = WideCharToMultiByte(cp, flags, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                              used_default);
  EXPECT_EQ(m, n);
  return s;
}

TEST(CodePageCalls, FailuresSetTheLastError) {
  char16_t buf[8];
  win::SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(win::CP_UTF8, 0, "abc", 0, buf, 8), 0);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(win::CP_UTF8, 0, nullptr, 3, buf, 8), 0);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(win::CP_UTF8, 0, "abc", 3, nullptr, 8), 0);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(12345, 0, "abc", 3, buf, 8), 0);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(win::CP_UTF8, 0, "abcdef", 6, buf, 5), 0);
  EXPECT_EQ(GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(MultiByteToWideChar(win::CP_UTF8, win::MB_ERR_INVALID_CHARS, "a\xC0\xAF", 3, buf, 8),
            0);
  EXPECT_EQ(GetLastError(), win::ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(MultiByteToWideChar(win::CP_UTF8, 0x1, "abc", 3, buf, 8), 0);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_FLAGS);

  char out[8];
  int used = 0;
  EXPECT_EQ(WideCharToMultiByte(win::CP_UTF8, 0, u"ab", 2, out, 8, "?", nullptr), 0);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WideCharToMultiByte(win::CP_UTF8, 0, u"ab", 2, out, 8, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WideCharToMultiByte(win::CP_UTF8, 0, u"\u00e9\u00e9", 2, out, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(WideCharToMultiByte(win::CP_UTF8, win::WC_ERR_INVALID_CHARS, u"a\xD800", 2, out, 8,
                                nullptr, nullptr),
            0);
  EXPECT_EQ(GetLastError(), win::ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(WideCharToMultiByte(1252, win::WC_ERR_INVALID_CHARS, u"a", 1, out, 8, nullptr, nullptr),
            0);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_FLAGS);
}

TEST(CodePageCalls, SizesAndTerminator) {
  // -1 counts the NUL; dstlen 0 asks for the size without writing.
  EXPECT_EQ(MultiByteToWideChar(win::CP_UTF8, 0, "h\xC3\xA9", -1, nullptr, 0), 3);
  char16_t w[3] = {1, 1, 1};
  EXPECT_EQ(MultiByteToWideChar(win::CP_UTF8, 0, "h\xC3\xA9", -1, w, 3), 3);
  EXPECT_EQ(w[0], u'h');
  EXPECT_EQ(w[1], 0xE9);
  EXPECT_EQ(w[2], 0);
  EXPECT_EQ(WideCharToMultiByte(win::CP_UTF8, 0, u"h\u00e9", -1, nullptr, 0, nullptr, nullptr), 4);
  char b[4] = {1, 1, 1, 1};
  EXPECT_EQ(WideCharToMultiByte(win::CP_UTF8, 0, u"h\u00e9", -1, b, 4, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(b), "h\xC3\xA9");
  // An exact fit succeeds; one short fails.
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"h\u00e9", 2, b, 2, nullptr, nullptr), 2);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"h\u00e9", 2, b, 1, nullptr, nullptr), 0);
}

TEST(CodePageCalls, AnsiCodePageFollowsTheTestSwitch) {
  EXPECT_EQ(win::GetACP(), 65001u);
  EXPECT_EQ(ToWide(win::CP_ACP, "\xC3\xA9"), u"\u00e9");
  win::SetACPForTesting(1252);
  EXPECT_EQ(win::GetACP(), 1252u);
  EXPECT_EQ(ToWide(win::CP_ACP, "\xC3\xA9"), u"\u00c3\u00a9");
  EXPECT_EQ(ToBytes(win::CP_ACP, u"\u20ac"), "\x80");
  win::SetACPForTesting(win::CP_UTF8);
  EXPECT_EQ(ToBytes(win::CP_ACP, u"\u20ac"), "\xE2\x82\xAC");
}

TEST(CodePageCalls, ValidCodePages) {
  for (unsigned cp :
       {65001u, 1252u, 28591u, 20127u, 932u, 936u, 949u, 950u, 1250u, 1251u, 50220u}) {
    EXPECT_TRUE(win::IsValidCodePage(cp)) << cp;
  }
  EXPECT_FALSE(win::IsValidCodePage(4242));
}

TEST(CodePageUtf8, SurrogatePairsBothWays) {
  std::string bytes = "\xF0\x9F\x98\x80x\xF4\x8F\xBF\xBF";
  std::u16string w = ToWide(win::CP_UTF8, bytes);
  EXPECT_EQ(w, std::u16string(u"\xD83D\xDE00x\xDBFF\xDFFF"));
  EXPECT_EQ(ToBytes(win::CP_UTF8, w), bytes);
  // Lone surrogates become U+FFFD, as the home platform writes them.
  EXPECT_EQ(ToBytes(win::CP_UTF8,
                    u"\xDC00"
                    u"a\xD800"),
            "\xEF\xBF\xBD"
            "a\xEF\xBF\xBD");
}

TEST(CodePageUtf8, StrictRejectsOverlongSurrogatesAndOutOfRange) {
  for (const char* bad :
       {"\xC0\x80", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF0\x80\x80\xAF",
        "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xC3", "\x80", "\xFF"}) {
    int ok = 1;
    ToWide(win::CP_UTF8, bad, win::MB_ERR_INVALID_CHARS, &ok);
    EXPECT_EQ(ok, 0) << Hex(bad, strlen(bad));
    EXPECT_EQ(GetLastError(), win::ERROR_NO_UNICODE_TRANSLATION);
  }
}

// Lenient decoding and strict validity agree with python's decoder (maximal subparts).
TEST(CodePageUtf8, MatchesPythonOnRandomBytes) {
  std::mt19937 rng(1108);
  std::vector<std::string> inputs;
  const unsigned char pool[] = {0x41, 0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,
                                0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFC, 0xFE, 0xFF};
  std::string input;
  for (int i = 0; i < 3000; ++i) {
    std::string s;
    int len = 1 + static_cast<int>(rng() % 12);
    for (int k = 0; k < len; ++k) {
      s.push_back(
          static_cast<char>(rng() % 3 == 0 ? pool[rng() % sizeof pool] : 0x80 + rng() % 0x40));
    }
    inputs.push_back(s);
    input += Hex(s.data(), s.size()) + "\n";
  }
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys
for line in sys.stdin:
    b = bytes.fromhex(line.strip())
    lenient = b.decode('utf-8', 'replace').encode('utf-16-le').hex()
    try:
        b.decode('utf-8'); strict = '1'
    except UnicodeDecodeError:
        strict = '0'
    print(lenient, strict)
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::u16string w = ToWide(win::CP_UTF8, inputs[i]);
    int ok = 0;
    ToWide(win::CP_UTF8, inputs[i], win::MB_ERR_INVALID_CHARS, &ok);
    std::string expect = Hex(w.data(), w.size() * 2) + " " + (ok ? "1" : "0");
    ASSERT_EQ(expect, out[i]) << "input " << Hex(inputs[i].data(), inputs[i].size());
  }
}

TEST(CodePageUtf8, EncodeMatchesPythonOnRandomUnits) {
  std::mt19937 rng(65001);
  std::vector<std::u16string> inputs;
  std::string input;
  for (int i = 0; i < 2000; ++i) {
    std::u16string w;
    int len = 1 + static_cast<int>(rng() % 10);
    for (int k = 0; k < len; ++k) {
      switch (rng() % 5) {
        case 0:
          w.push_back(static_cast<char16_t>(rng() % 0x80));
          break;
        case 1:
          w.push_back(static_cast<char16_t>(0x80 + rng() % 0x780));
          break;
        case 2:
          w.push_back(static_cast<char16_t>(0xD800 + rng() % 0x800));
          break;
        default:
          w.push_back(static_cast<char16_t>(rng() % 0x10000));
          break;
      }
    }
    inputs.push_back(w);
    input += Hex(w.data(), w.size() * 2) + "\n";
  }
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys
for line in sys.stdin:
    b = bytes.fromhex(line.strip())
    print(b.decode('utf-16-le', 'replace').encode('utf-8').hex())
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::string b = ToBytes(win::CP_UTF8, inputs[i]);
    ASSERT_EQ(Hex(b.data(), b.size()), out[i])
        << "input " << Hex(inputs[i].data(), inputs[i].size() * 2);
  }
}

// Every byte of 1252 against python's cp1252; its five holes pass through as C1 controls.
TEST(CodePage1252, AllBytesAgainstPython) {
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
for b in range(256):
    try:
        print('%04x' % ord(bytes([b]).decode('cp1252')))
    except UnicodeDecodeError:
        print('ERR')
)PY",
                    "", &out);
  ASSERT_EQ(out.size(), 256u);
  int holes = 0;
  for (int b = 0; b < 256; ++b) {
    std::u16string w = ToWide(1252, std::string(1, static_cast<char>(b)));
    ASSERT_EQ(w.size(), 1u);
    if (out[b] == "ERR") {
      ++holes;
      EXPECT_EQ(w[0], b) << b;
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(w[0]));
      EXPECT_EQ(buf, out[b]) << b;
    }
    // Every byte comes back unchanged.
    EXPECT_EQ(ToBytes(1252, w), std::string(1, static_cast<char>(b)));
  }
  EXPECT_EQ(holes, 5);
}

// Every BMP character into 1252: python's mapping, "?" where python has none.
TEST(CodePage1252, AllCharactersAgainstPython) {
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
out = []
for c in range(0x10000):
    if 0xD800 <= c <= 0xDFFF:
        continue
    try:
        out.append(chr(c).encode('cp1252').hex())
    except UnicodeEncodeError:
        out.append('-')
print('\n'.join(out))
)PY",
                    "", &out);
  ASSERT_EQ(out.size(), 0x10000u - 0x800u);
  size_t line = 0;
  for (unsigned c = 0; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::u16string w(1, static_cast<char16_t>(c));
    int used = -1;
    std::string b = ToBytes(1252, w, &used);
    const std::string& want = out[line++];
    bool hole = c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
    if (hole) {
      EXPECT_EQ(b, std::string(1, static_cast<char>(c)));
    } else if (want == "-") {
      EXPECT_EQ(b, "?") << std::hex << c;
      EXPECT_EQ(used, 1) << std::hex << c;
    } else {
      EXPECT_EQ(Hex(b.data(), b.size()), want) << std::hex << c;
      EXPECT_EQ(used, 0) << std::hex << c;
    }
  }
}

TEST(CodePageSingleByte, Latin1AndAscii) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::u16string w = ToWide(28591, all);
  ASSERT_EQ(w.size(), 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(w[b], b);
  EXPECT_EQ(ToBytes(28591, w), all);
  EXPECT_EQ(ToBytes(28591, u"a\u0100\u20ac"), "a??");
  EXPECT_EQ(ToBytes(20127, u"a\u00e9"), "a?");
  EXPECT_EQ(ToWide(20127, "a\xE9"), u"a\xFFFD");
  int ok = 1;
  ToWide(20127, "a\xE9", win::MB_ERR_INVALID_CHARS, &ok);
  EXPECT_EQ(ok, 0);
}

TEST(CodePageSingleByte, DefaultCharAndUsedFlag) {
  char out[8] = {};
  int used = 0;
  int n = WideCharToMultiByte(1252, 0, u"a\u4e00\xD83D\xDE00", 4, out, 8, "#", &used);
  ASSERT_EQ(n, 3);  // one default for the pair
  EXPECT_EQ(std::string(out, 3), "a##");
  EXPECT_EQ(used, 1);
  n = WideCharToMultiByte(1252, 0, u"abc", 3, out, 8, "#", &used);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(used, 0);
  n = WideCharToMultiByte(932, 0, u"a\u00e9", 2, out, 8, nullptr, &used);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(std::string(out, 2), "a?");
  EXPECT_EQ(used, 1);
}

// Code page 932 against python's cp932 for every double-byte pair and every single byte it maps.
TEST(CodePage932, AllPairsAgainstPython) {
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
out = []
def dec(b):
    try:
        s = b.decode('cp932')
        return s.encode('utf-16-le').hex()
    except UnicodeDecodeError:
        return '-'
for b in range(0x80):
    out.append(dec(bytes([b])))
for b in range(0xA1, 0xE0):
    out.append(dec(bytes([b])))
for lead in list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD)):
    for trail in list(range(0x40, 0x7F)) + list(range(0x80, 0xFD)):
        out.append(dec(bytes([lead, trail])))
print('\n'.join(out))
)PY",
                    "", &out);
  std::vector<std::string> inputs;
  for (int b = 0; b < 0x80; ++b) inputs.push_back(std::string(1, static_cast<char>(b)));
  for (int b = 0xA1; b < 0xE0; ++b) inputs.push_back(std::string(1, static_cast<char>(b)));
  for (int lead = 0x81; lead < 0xFD; ++lead) {
    if (lead >= 0xA0 && lead < 0xE0) continue;
    for (int trail = 0x40; trail < 0xFD; ++trail) {
      if (trail == 0x7F) continue;
      inputs.push_back({static_cast<char>(lead), static_cast<char>(trail)});
    }
  }
  ASSERT_EQ(out.size(), inputs.size());
  int compared = 0, differ = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (out[i] == "-") continue;
    int ok = 0;
    std::u16string w = ToWide(932, inputs[i], win::MB_ERR_INVALID_CHARS, &ok);
    ++compared;
    std::string mine = ok ? Hex(w.data(), w.size() * 2) : "error";
    if (mine != out[i]) {
      ++differ;
      ADD_FAILURE() << "cp932 " << Hex(inputs[i].data(), inputs[i].size()) << ": python " << out[i]
                    << ", ours " << mine;
      if (differ > 20) break;
    }
    // Duplicates encode to one canonical code, which must decode to the same character.
    if (ok) {
      EXPECT_EQ(ToWide(932, ToBytes(932, w)), w) << Hex(inputs[i].data(), inputs[i].size());
    }
  }
  EXPECT_GT(compared, 7000);
  // The canonical picks of the home platform: IBM rows over NEC-selected ones, JIS row 2 first.
  EXPECT_EQ(ToBytes(932, u"\u7E8A"), "\xFA\x5C");
  EXPECT_EQ(ToBytes(932, u"\u2252"), "\x81\xE0");
  EXPECT_EQ(ToBytes(932, u"\u2170"), "\xFA\x40");
}

// Half-width katakana are single bytes in Shift-JIS; JIS X 0208 text matches python's shift_jis.
TEST(CodePage932, HalfWidthKatakanaAndShiftJisText) {
  std::u16string kana = u"\uFF76\uFF9E\uFF8A\uFF9F\uFF61\uFF9F";
  EXPECT_EQ(ToBytes(932, kana), "\xB6\xDE\xCA\xDF\xA1\xDF");
  EXPECT_EQ(ToWide(932, "\xB6\xDE\xCA\xDF\xA1\xDF"), kana);
  std::vector<std::u16string> texts = {u"\u65E5\u672C\u8A9E\u30C6\u30AD\u30B9\u30C8",
                                       u"abc\u3042\u3044\u3046\uFF76\uFF9E123",
                                       u"\u6F22\u5B57\u3001\u300C\u5F15\u7528\u300D\u3002"};
  std::string input;
  for (const auto& t : texts) input += Hex(t.data(), t.size() * 2) + "\n";
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys
for line in sys.stdin:
    s = bytes.fromhex(line.strip()).decode('utf-16-le')
    print(s.encode('shift_jis').hex())
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    std::string b = ToBytes(932, texts[i]);
    EXPECT_EQ(Hex(b.data(), b.size()), out[i]);
    EXPECT_EQ(ToWide(932, Unhex(out[i])), texts[i]);
  }
}

// ISO-2022-JP output is byte-for-byte python's, and a default char is written in ASCII mode.
TEST(CodePageIso2022Jp, AgainstPython) {
  std::vector<std::u16string> texts = {u"\u6F22a\u5B57", u"\u65E5\u672C\u8A9E\r\nabc",
                                       u"plain ascii", u"\u3042\u3044\u3046\u3048\u304A"};
  std::string input;
  for (const auto& t : texts) input += Hex(t.data(), t.size() * 2) + "\n";
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys
for line in sys.stdin:
    s = bytes.fromhex(line.strip()).decode('utf-16-le')
    print(s.encode('iso2022_jp').hex())
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    std::string b = ToBytes(50220, texts[i]);
    EXPECT_EQ(Hex(b.data(), b.size()), out[i]);
    EXPECT_EQ(ToWide(50220, Unhex(out[i])), texts[i]);
  }
  int used = 0;
  std::string b = ToBytes(50220, u"\u6F22\u00e9\u5B57", &used);
  EXPECT_EQ(b, "\x1B$B4A\x1B(B?\x1B$B;z\x1B(B");
  EXPECT_EQ(used, 1);
}

TEST(CodePageIconv, OtherPagesAgainstIconvTool) {
  if (!testsupport::HaveProgram("iconv")) {
    TW_REQUIRE_OR_SKIP("iconv not installed");
  }
  struct Case {
    unsigned cp;
    const char* name;
    std::u16string text;
  };
  std::vector<Case> cases = {
      {936, "GBK", u"\u4E2D\u6587abc"},
      {949, "CP949", u"\uD55C\uAD6D\uC5B4"},
      {950, "BIG5", u"\u7E41\u9AD4\u4E2D\u6587"},
      {1251, "CP1251", u"\u041F\u0440\u0438\u0432\u0435\u0442"},
      {1250, "CP1250", u"\u017Elu\u0165ou\u010Dk\u00FD"},
  };
  for (const auto& c : cases) {
    std::string mine = ToBytes(c.cp, c.text);
    int status = -1;
    std::string utf8 = ToBytes(win::CP_UTF8, c.text);
    std::string theirs =
        testsupport::RunCommand(std::string("iconv -f UTF-8 -t ") + c.name, utf8, &status);
    ASSERT_EQ(status, 0) << c.name;
    EXPECT_EQ(Hex(mine.data(), mine.size()), Hex(theirs.data(), theirs.size())) << c.cp;
    EXPECT_EQ(ToWide(c.cp, mine), c.text) << c.cp;
  }
}

TEST(CodePageIconv, InvalidInputIsReplacedOrRejected) {
  // A lone lead byte of 932.
  EXPECT_EQ(ToWide(932, "a\x81"), u"a\xFFFD");
  int ok = 1;
  ToWide(932, "a\x81", win::MB_ERR_INVALID_CHARS, &ok);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(GetLastError(), win::ERROR_NO_UNICODE_TRANSLATION);
}

}  // namespace

namespace {

// The straightforward scalar decoder: one U+FFFD per maximal ill-formed subpart; nullopt when
// strict and ill-formed.
std::optional<std::u16string> ReferenceUtf8(const std::string& in, bool strict) {
  std::u16string out;
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  for (size_t i = 0; i < n;) {
    const unsigned b = s[i];
    int need = b >= 0xF0 && b <= 0xF4 ? 3 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xC2 && b <= 0xDF;
    if (b < 0x80) {
      out.push_back(static_cast<char16_t>(b));
      ++i;
      continue;
    }
    unsigned lo = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
    unsigned hi = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
    uint32_t cp = b & (0x7F >> (need + 1));
    size_t k = 1;
    while (need > 0 && k <= static_cast<size_t>(need) && i + k < n && s[i + k] >= lo &&
           s[i + k] <= hi) {
      cp = cp << 6 | (s[i + k] & 0x3F);
      lo = 0x80;
      hi = 0xBF;
      ++k;
    }
    if (need == 0 || k <= static_cast<size_t>(need)) {
      if (strict) return std::nullopt;
      out.push_back(0xFFFD);
      i += k;
      continue;
    }
    i += k;
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

enum class Mix { kRandom, kMostlyAscii, kLeadHeavy, kValidText };

std::string MakeInput(Mix mix, size_t n, std::mt19937& rng) {
  static const char* const kPieces[] = {"a", "Z", "~", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                        "\xED\x9F\xBF", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD"};
  std::string s;
  while (s.size() < n) {
    const unsigned r = rng();
    switch (mix) {
      case Mix::kRandom:
        s.push_back(static_cast<char>(r));
        break;
      case Mix::kMostlyAscii:
        s.push_back(static_cast<char>(r % 61 == 0 ? 0x80 | (r >> 8) : 0x20 + (r >> 8) % 0x5F));
        break;
      case Mix::kLeadHeavy:  // leads, continuations and their edges, where the rules bite
        s.push_back(static_cast<char>(r % 3 == 0 ? 0xC0 + (r >> 8) % 0x40 : 0x80 + (r >> 8) % 0x40));
        if (r % 7 == 0) s.push_back('x');
        break;
      case Mix::kValidText:
        s += kPieces[r % (sizeof kPieces / sizeof *kPieces)];
        break;
    }
  }
  s.resize(n);
  return s;
}

class Utf8DecoderDifferential : public ::testing::TestWithParam<std::tuple<int, Mix>> {
 protected:
  void TearDown() override { win::SetUtf8DecoderForTesting(-1); }
};

// Every block decoder gives what the scalar model gives, for lengths across the block sizes, for
// the size query, an exact buffer, a short buffer and the strict flag.
TEST_P(Utf8DecoderDifferential, MatchesScalarModel) {
  const auto [level, mix] = GetParam();
  if (win::SetUtf8DecoderForTesting(level) != level) GTEST_SKIP() << "no such unit here";
  std::mt19937 rng(static_cast<unsigned>(level * 10 + static_cast<int>(mix)));
  for (int round = 0; round < 1500; ++round) {
    const size_t n = round < 200 ? static_cast<size_t>(round + 1) : 1 + rng() % 4000;
    const std::string in = MakeInput(mix, n, rng);
    const std::u16string want = *ReferenceUtf8(in, false);
    const int size = static_cast<int>(in.size());
    ASSERT_EQ(MultiByteToWideChar(win::CP_UTF8, 0, in.data(), size, nullptr, 0),
              static_cast<int>(want.size()));
    std::u16string got(want.size() + 40, u'\x1234');
    ASSERT_EQ(MultiByteToWideChar(win::CP_UTF8, 0, in.data(), size, got.data(),
                                  static_cast<int>(want.size())),
              static_cast<int>(want.size()));
    ASSERT_EQ(got.substr(0, want.size()), want) << Hex(in.data(), in.size());
    ASSERT_EQ(got[want.size()], u'\x1234') << "wrote past the buffer";
    const bool valid = ReferenceUtf8(in, true).has_value();
    ASSERT_EQ(MultiByteToWideChar(win::CP_UTF8, win::MB_ERR_INVALID_CHARS, in.data(), size,
                                  nullptr, 0) != 0,
              valid)
        << Hex(in.data(), in.size());
    // One unit short fails with the units that fit written and nothing beyond (0 would be the
    // size query).
    if (want.size() < 2) continue;
    std::u16string shortbuf(want.size() + 40, u'\x1234');
    ASSERT_EQ(MultiByteToWideChar(win::CP_UTF8, 0, in.data(), size, shortbuf.data(),
                                  static_cast<int>(want.size()) - 1),
              0);
    EXPECT_EQ(GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(shortbuf[want.size() - 1], u'\x1234');
    ASSERT_EQ(shortbuf.substr(0, want.size() - 1), want.substr(0, want.size() - 1));
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Utf8DecoderDifferential,
                         ::testing::Combine(::testing::Values(0, 1, 2),
                                            ::testing::Values(Mix::kRandom, Mix::kMostlyAscii,
                                                              Mix::kLeadHeavy, Mix::kValidText)),
                         [](const auto& i) {
                           const Mix m = std::get<1>(i.param);
                           return testsupport::MakeName("level", std::get<0>(i.param), m == Mix::kRandom ? "random" : m == Mix::kMostlyAscii ? "mostly_ascii" : m == Mix::kLeadHeavy ? "lead_heavy" : "valid_text"); });

}  // namespace
