#include "foundation/text_conversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/idn.h"
#include "foundation/tokenizer.h"
#include "platform/codepage.h"
#include "platform/heap.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace {

using tw::ByteString;

using testsupport::Hex;
using testsupport::Unhex;

std::string Hex(const std::string& s) { return Hex(s.data(), s.size()); }
std::string Hex(const ByteString& s) { return Hex(s.data(), static_cast<size_t>(s.length())); }

std::string Str(const ByteString& s) {
  return std::string(s.data(), static_cast<size_t>(s.length()));
}

ByteString Bytes(const std::string& s) {
  ByteString b;
  b.Set(s.data(), static_cast<int>(s.size()));
  return b;
}

// Appends one code point, as a surrogate pair above the BMP.
void AppendUtf16(std::u16string& w, uint32_t c) {
  if (c >= 0x10000) {
    w.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
    w.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
  } else {
    w.push_back(static_cast<char16_t>(c));
  }
}

// ---------------------------------------------------------------- UTF-8 and UTF-16

TEST(Utf8ToUtf16, BrokenSequenceKeepsTheByteThatBrokeIt) {
  ByteString s = Bytes("\xC3(");
  ASSERT_EQ(tw::Utf8ToUtf16(s), 0);
  EXPECT_EQ(Hex(s), "fdff2800");  // U+FFFD then "("
  s = Bytes("a\xE2\x82");
  ASSERT_EQ(tw::Utf8ToUtf16(s), 0);
  EXPECT_EQ(Hex(s), "6100fdff");
  s = Bytes(
      "\xF0\x9F\x98"
      "A\xE2\x82\xAC");
  ASSERT_EQ(tw::Utf8ToUtf16(s), 0);
  EXPECT_EQ(Hex(s), "fdff4100ac20");
}

TEST(Utf8ToUtf16, RejectsWhatCannotBeText) {
  for (const char* bad :
       {"\xC0\xAF", "\xC1\x81", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80", "\xED\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF", "\xF8\x88\x80\x80\x80", "\xFC\x84\x80\x80\x80\x80",
        "\x80", "a\xBF", "\xFE", "\xFF"}) {
    ByteString s = Bytes(bad);
    EXPECT_EQ(tw::Utf8ToUtf16(s), tw::kErrTextConversion) << Hex(std::string(bad));
    EXPECT_EQ(Str(s), bad);  // left as it was
  }
}

TEST(Utf8ToUtf16, StrictFailsOnCutSequences) {
  ByteString s = Bytes("\xC3(");
  EXPECT_EQ(tw::Utf8ToUtf16Strict(s), tw::kErrTextConversion);
  s = Bytes("\xF0\x9F\x98\x80");
  ASSERT_EQ(tw::Utf8ToUtf16Strict(s), 0);
  EXPECT_EQ(Hex(s), "3dd800de");
}

// Well-formed input decodes as python does; ill-formed input fails or is marked with U+FFFD.
TEST(Utf8ToUtf16, AgainstPythonOnRandomBytes) {
  std::mt19937 rng(108);
  std::vector<std::string> inputs;
  std::string input;
  const unsigned char noise[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC3, 0xE0, 0xED,
                                 0xF0, 0xF4, 0xF5, 0xF8, 0xFF, 0x28};
  for (int i = 0; i < 3000; ++i) {
    // Well-formed text of random characters, then (mostly) one byte changed, dropped or added.
    std::string s;
    int chars = 1 + static_cast<int>(rng() % 5);
    for (int k = 0; k < chars; ++k) {
      const uint32_t tops[] = {0x80, 0x800, 0x10000, 0x110000};
      uint32_t c = rng() % tops[rng() % 4];
      if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
      if (c < 0x80) {
        s.push_back(static_cast<char>(c));
      } else if (c < 0x800) {
        s.push_back(static_cast<char>(0xC0 | (c >> 6)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else if (c < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | (c >> 12)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else {
        s.push_back(static_cast<char>(0xF0 | (c >> 18)));
        s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
    size_t at = rng() % s.size();
    switch (rng() % 4) {
      case 0:
        s[at] = static_cast<char>(noise[rng() % sizeof noise]);
        break;
      case 1:
        s.erase(at, 1);
        break;
      case 2:
        s.insert(at, 1, static_cast<char>(noise[rng() % sizeof noise]));
        break;
      default:
        break;
    }
    if (s.empty()) s = "a";
    inputs.push_back(s);
    input += Hex(s) + "\n";
  }
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys
for line in sys.stdin:
    b = bytes.fromhex(line.strip())
    try:
        print(b.decode('utf-8').encode('utf-16-le').hex())
    except UnicodeDecodeError:
        print('-')
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), inputs.size());
  int valid = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    ByteString lenient = Bytes(inputs[i]);
    int rc = tw::Utf8ToUtf16(lenient);
    ByteString strict = Bytes(inputs[i]);
    int src = tw::Utf8ToUtf16Strict(strict);
    if (out[i] != "-") {
      ++valid;
      ASSERT_EQ(rc, 0) << Hex(inputs[i]);
      EXPECT_EQ(Hex(lenient), out[i]) << Hex(inputs[i]);
      EXPECT_EQ(src, 0) << Hex(inputs[i]);
    } else {
      EXPECT_NE(src, 0) << Hex(inputs[i]);
      if (rc == 0) {
        EXPECT_NE(Hex(lenient).find("fdff"), std::string::npos) << Hex(inputs[i]);
      }
    }
  }
  EXPECT_GT(valid, 700);
}

TEST(Utf16ToUtf8, AgainstPythonOnRandomText) {
  std::mt19937 rng(1601);
  std::vector<std::u16string> inputs;
  std::string input;
  for (int i = 0; i < 1000; ++i) {
    std::u16string w;
    int len = static_cast<int>(rng() % 12);
    for (int k = 0; k < len; ++k) {
      uint32_t c = rng() % 4 == 0 ? 0x10000 + rng() % 0x100000 : rng() % 0xD800;
      AppendUtf16(w, c);
    }
    inputs.push_back(w);
    input += Hex(w.data(), w.size() * 2) + "\n";
  }
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys
for line in sys.stdin:
    print(bytes.fromhex(line.strip()).decode('utf-16-le').encode('utf-8').hex())
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    ByteString s;
    s.Set(inputs[i].data(), static_cast<int>(inputs[i].size() * 2));
    ASSERT_EQ(tw::Utf16ToUtf8(s), 0);
    ASSERT_EQ(Hex(s), out[i]);
    // And back again.
    ASSERT_EQ(tw::Utf8ToUtf16Strict(s), 0);
    ASSERT_EQ(Hex(s), Hex(inputs[i].data(), inputs[i].size() * 2));
  }
}

TEST(Utf16ToUtf8, UnpairedSurrogatesAndOddLengthFail) {
  for (std::u16string w : {std::u16string(u"a\xD800"),
                           std::u16string(u"\xDC00"
                                          u"a"),
                           std::u16string(u"\xD800"
                                          u"a")}) {
    ByteString s;
    s.Set(w.data(), static_cast<int>(w.size() * 2));
    EXPECT_EQ(tw::Utf16ToUtf8(s), tw::kErrTextConversion);
  }
  ByteString odd = Bytes(std::string("a\0b", 3));
  EXPECT_EQ(tw::Utf16ToUtf8(odd), tw::kErrTextConversion);
}

TEST(Utf16ToUtf8, BigEndianInput) {
  ByteString s = Bytes(std::string("\x00h\x00\xE9\xD8\x3D\xDE\x00", 8));
  ASSERT_EQ(tw::Utf16BeToUtf8(s), 0);
  EXPECT_EQ(Str(s), "h\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(Utf8ToLatin1, CharactersAboveFFBecomeQuestionMarks) {
  ByteString s = Bytes("a\xC3\xA9\xC3\xBF\xC4\x80\xE2\x82\xAC\xF0\x9F\x98\x80z");
  ASSERT_EQ(tw::Utf8ToLatin1(s), 0);
  EXPECT_EQ(Str(s), "a\xE9\xFF???z");
}

TEST(SwapThenUtf8ToUtf16, GivesBigEndianUnits) {
  ByteString s = Bytes("A\xC3\xA9");
  ASSERT_EQ(tw::SwapThenUtf8ToUtf16(s), 0);
  EXPECT_EQ(Hex(s), "004100e9");
}

TEST(UtfConversions, OutOfMemoryLeavesTheString) {
  ByteString s = Bytes("h\xC3\xA9llo");
  win::HeapFailAfter(1);
  EXPECT_EQ(tw::Utf8ToUtf16(s), tw::kErrOutOfMemory);
  win::HeapFailAfter(0);
  EXPECT_EQ(Str(s), "h\xC3\xA9llo");
}

TEST(AppendAsUtf8, ConvertsFromTheCodePage) {
  ByteString s = Bytes("x");
  ASSERT_EQ(tw::AppendAsUtf8(s, "\x80\xE9", 1252), 0);
  EXPECT_EQ(Str(s), "x\xE2\x82\xAC\xC3\xA9");
  ASSERT_EQ(tw::AppendAsUtf8(s, "\x93\xFA\x96\x7B", 4, 932), 0);
  EXPECT_EQ(Str(s), "x\xE2\x82\xAC\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC");
  EXPECT_EQ(tw::AppendAsUtf8(s, "abc", 4242), tw::kErrTextConversion);
}

// ---------------------------------------------------------------- hexadecimal

TEST(Hex, AppendAndRead) {
  ByteString s;
  const unsigned char b[] = {0x00, 0x7F, 0xAB, 0xFF};
  ASSERT_EQ(tw::AppendHexLower(s, b, 4), 0);
  EXPECT_EQ(Str(s), "007fabff");
  tw::ShortString sh;
  ASSERT_EQ(tw::AppendHexLower(sh, b, 4), 0);
  EXPECT_EQ(std::string(sh.data(), sh.length()), "007fabff");

  ByteString d = Bytes("x");
  ASSERT_EQ(tw::AppendFromHex(d, "00fF7fA0"), 0);
  EXPECT_EQ(Hex(d), "7800ff7fa0");
}

TEST(Hex, BadDigitsFailInsteadOfWritingFF) {
  ByteString d = Bytes("keep");
  EXPECT_EQ(tw::AppendFromHex(d, "0g"), tw::kErrTextConversion);
  EXPECT_EQ(tw::AppendFromHex(d, "abc"), tw::kErrTextConversion);
  EXPECT_EQ(tw::AppendFromHex(d, "12 4"), tw::kErrTextConversion);
  EXPECT_EQ(Str(d), "keep");
  EXPECT_EQ(tw::HexPairToByte("zz"), -1);
  EXPECT_EQ(tw::HexPairToByte("fF"), 255);
}

TEST(Hex, Numbers) {
  EXPECT_EQ(tw::HexToUInt("ff"), 255u);
  EXPECT_EQ(tw::HexToUInt("DEADbeefxyz"), 0xDEADBEEFu);
  EXPECT_EQ(tw::HexToUInt(""), 0u);
  EXPECT_EQ(tw::ParseHex("-1f"), -31);
  EXPECT_EQ(tw::ParseHex("+10"), 16);
  EXPECT_EQ(tw::ParseHex("ffffffff"), -1);
  EXPECT_EQ(tw::ParseSignedHex("-7fffffffffffffff"), -INT64_MAX);
  EXPECT_EQ(tw::ParseSignedHex("123g"), 0x123);
  EXPECT_TRUE(tw::IsHexDigit('F'));
  EXPECT_FALSE(tw::IsHexDigit('g'));
}

// ---------------------------------------------------------------- Base64

TEST(Base64, KnownAnswers) {
  ByteString s;
  tw::Base64Encode(s, "abc", 3, false, 0, false);
  EXPECT_EQ(Str(s), "YWJj");
  s.Reset();
  tw::Base64Encode(s, "ab", 2, false, 0, false);
  EXPECT_EQ(Str(s), "YWI=");
  s.Reset();
  tw::Base64Encode(s, "ab", 2, false, 0, true);
  EXPECT_EQ(Str(s), "YWI");
  s.Reset();
  EXPECT_EQ(tw::Base64Encode(s, "ab", 2, true, 0, false), tw::kErrInvalidValue);
  const unsigned char fb[] = {0xFB, 0xFF};
  s.Reset();
  tw::Base64Encode(s, fb, 2, false, 0, true);
  EXPECT_EQ(Str(s), "-_8");
}

TEST(Base64, EncodeAgainstPython) {
  std::mt19937 rng(64);
  struct Case {
    std::string data;
    bool breaks;
    int line;
    bool url;
  };
  std::vector<Case> cases;
  std::string input;
  for (int i = 0; i < 400; ++i) {
    Case c;
    int len = static_cast<int>(rng() % 200);
    for (int k = 0; k < len; ++k) c.data.push_back(static_cast<char>(rng()));
    c.breaks = rng() % 2;
    const int lines[] = {64, 76, 4, 8, 72, 13, -1};
    c.line = lines[rng() % 7];
    c.url = rng() % 3 == 0;
    cases.push_back(c);
    int chars = (c.line > 0 && c.line % 4 == 0) ? c.line : 64;
    input += Hex(c.data) + (c.data.empty() ? "-" : "") + " " + (c.breaks ? "1" : "0") + " " +
             std::to_string(chars) + " " + (c.url ? "1" : "0") + "\n";
  }
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys, base64
for line in sys.stdin:
    h, breaks, chars, url = line.split()
    data = bytes.fromhex(h.rstrip('-'))
    enc = (base64.urlsafe_b64encode(data).rstrip(b'=') if url == '1' else base64.b64encode(data)).decode()
    if breaks == '1':
        n = int(chars)
        enc = '\r\n'.join(enc[i:i+n] for i in range(0, len(enc), n))
    print(enc.encode().hex())
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    ByteString s;
    ASSERT_EQ(tw::Base64Encode(s, c.data.data(), static_cast<int>(c.data.size()), c.breaks, c.line,
                               c.url),
              0);
    ASSERT_EQ(Hex(s), out[i]) << "case " << i;
    // Our strict decoder takes it back.
    ASSERT_EQ(tw::DecodeBase64(s, c.url, true, true), 0) << "case " << i;
    ASSERT_EQ(Str(s), c.data) << "case " << i;
  }
}

TEST(Base64, DecodeStrictAndLenient) {
  struct Case {
    const char* in;
    bool url, strict, ws;
    int rc;
    const char* out;
  };
  const Case cases[] = {
      {"YWI", false, true, false, -1, nullptr},
      {"YWI", false, false, false, 0, "ab"},
      {"YWI=", false, true, false, 0, "ab"},
      {"YW==", false, true, false, 0, "a"},
      {"YW=", false, true, false, -1, nullptr},
      {"YWI==", false, true, false, -1, nullptr},
      {"Y===", false, true, false, -1, nullptr},
      {"Y", false, true, false, -1, nullptr},
      {"Y=", false, false, false, 0, "`"},  // one character and "=" still give a byte
      {"Y", false, false, false, 0, ""},
      {"YW Jj", false, true, false, -1, nullptr},
      {"YW Jj", false, true, true, 0, "abc"},
      {"YW*Jj", false, false, false, 0, "abc"},
      {"YWJj=YWJj", false, false, false, 0, "abc"},  // the first "=" ends the data
      {"YWJj=YWJj", false, true, false, -1, nullptr},
      {"-_8", true, true, false, 0, "\xFB\xFF"},
      {"-_8=", true, true, false, 0, "\xFB\xFF"},
      {"+/8=", true, true, false, -1, nullptr},
      {"+/8=", false, true, false, 0, "\xFB\xFF"},
      {"YWJj\r\nYWJj\r\n", false, true, true, 0, "abcabc"},
      {"", false, true, false, 0, ""},
  };
  for (const Case& c : cases) {
    ByteString s = Bytes(c.in);
    int rc = tw::DecodeBase64(s, c.url, c.strict, c.ws);
    EXPECT_EQ(rc, c.rc) << c.in;
    if (c.rc == 0 && rc == 0) {
      EXPECT_EQ(Str(s), c.out) << c.in;
    }
  }
}

TEST(Base64, LooksLikeBase64) {
  EXPECT_EQ(tw::LooksLikeBase64("YWJj", -1), 1);
  EXPECT_EQ(tw::LooksLikeBase64("  YWJj\r\nYWI=\r\n ", -1), 1);
  EXPECT_EQ(tw::LooksLikeBase64("YW==", -1), 1);
  EXPECT_EQ(tw::LooksLikeBase64("YWJ", -1), 0);
  EXPECT_EQ(tw::LooksLikeBase64("YW Jj", -1), 0);  // a blank run without a line break
  EXPECT_EQ(tw::LooksLikeBase64("Y===", -1), 0);
  EXPECT_EQ(tw::LooksLikeBase64("YW==x", -1), 0);
  EXPECT_EQ(tw::LooksLikeBase64("-_8A", -1), 0);
  EXPECT_EQ(tw::LooksLikeBase64("", -1), 0);
  EXPECT_EQ(tw::LooksLikeBase64("YWJjYWJj", 4), 1);
}

TEST(Base64, PemBody) {
  const char pem[] = "-----BEGIN CERTIFICATE-----\r\nYWJj\r\nZGVm\r\n-----END CERTIFICATE-----\r\n";
  ByteString s;
  ASSERT_EQ(tw::SetPemBody(s, "-----BEGIN CERTIFICATE", pem, static_cast<int>(strlen(pem))), 0);
  EXPECT_EQ(Str(s), "abcdef");
  const char lone_cr[] = "head BEGIN X\rYWJj\n---";
  ASSERT_EQ(tw::SetPemBody(s, "BEGIN X", lone_cr, static_cast<int>(strlen(lone_cr))), 0);
  EXPECT_EQ(Str(s), "abc");
  const char der[] = "\x30\x82\x01\x0A";
  ASSERT_EQ(tw::SetPemBody(s, "BEGIN", der, 4), 0);
  EXPECT_EQ(Hex(s), "3082010a");
  ASSERT_EQ(tw::SetPemBody(s, "BEGIN", "\x30\x03\x02\x01\x05", 5), 0);  // short 7-bit DER
  EXPECT_EQ(Hex(s), "3003020105");
  ASSERT_EQ(tw::SetPemBody(s, "BEGIN", "YWJj", 4), 0);  // no marker: the whole text
  EXPECT_EQ(Str(s), "abc");
}

// ---------------------------------------------------------------- percent-encoding

TEST(PercentEncode, KnownAnswerAndPython) {
  ByteString s;
  ASSERT_EQ(tw::UrlEncodeUnreserved(s, "a b*~"), 0);
  EXPECT_EQ(Str(s), "a%20b*~");

  std::mt19937 rng(3986);
  std::vector<std::string> inputs;
  std::string input;
  for (int i = 0; i < 500; ++i) {
    std::string t;
    int len = 1 + static_cast<int>(rng() % 20);
    for (int k = 0; k < len; ++k) t.push_back(static_cast<char>(1 + rng() % 255));
    inputs.push_back(t);
    input += Hex(t) + "\n";
  }
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys, urllib.parse
for line in sys.stdin:
    print(urllib.parse.quote(bytes.fromhex(line.strip()), safe='*~'))
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    ByteString e;
    ASSERT_EQ(tw::UrlEncodeUnreserved(e, inputs[i].c_str()), 0);
    ASSERT_EQ(Str(e), out[i]) << Hex(inputs[i]);
  }
}

TEST(PercentEncode, OwnTable) {
  tw::PercentTable keep_slash = tw::kUnreservedTable;
  keep_slash.flags['/' - 32] = 1;
  ByteString s;
  ASSERT_EQ(tw::PercentEncode(s, "a/b c\x7F", keep_slash), 0);
  EXPECT_EQ(Str(s), "a/b%20c%7F");
}

// ---------------------------------------------------------------- Japanese

// Shift-JIS text (kanji, kana, ASCII, CR LF) against python's iso2022_jp, and back.
TEST(ShiftJisToJis, AgainstPython) {
  std::vector<std::u16string> texts = {
      u"\u65E5\u672C\u8A9E",
      u"abc",
      u"\u6F22a\u5B57\r\n\u4EEE\u540D",
      u"\u3042\u3044\u3046 \u30A2\u30A4\u30A6 x",
      u"\u300C\u5F15\u7528\u300D\u3002\u2015",
      u"\uFF11\uFF12\uFF13\u2460",
  };
  std::string input;
  for (const auto& t : texts) input += Hex(t.data(), t.size() * 2) + "\n";
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys
for line in sys.stdin:
    s = bytes.fromhex(line.strip()).decode('utf-16-le')
    try:
        j = s.encode('iso2022_jp').hex()
    except UnicodeEncodeError:
        j = '-'
    print(s.encode('cp932').hex(), j)
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    std::string sjis = Unhex(out[i].substr(0, out[i].find(' ')));
    std::string jis = out[i].substr(out[i].find(' ') + 1);
    ByteString s;
    ASSERT_EQ(tw::ShiftJisToJis(s, sjis.c_str()), 0);
    if (jis != "-") {
      EXPECT_EQ(Hex(s), jis) << i;
    }
    ByteString back;
    ASSERT_EQ(tw::JisToShiftJis(back, Str(s).c_str()), 0);
    EXPECT_EQ(Hex(back), Hex(sjis)) << i;
  }
}

// Half-width katakana become full-width letters, sound marks merged, as NFKC composes them.
TEST(ShiftJisToJis, HalfWidthKatakanaAgainstPython) {
  std::mt19937 rng(932);
  std::vector<std::string> inputs;
  std::string input;
  for (int i = 0; i < 400; ++i) {
    std::string t;
    int len = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < len; ++k) {
      int r = static_cast<int>(rng() % 10);
      if (r < 6) {
        t.push_back(static_cast<char>(0xA1 + rng() % 0x3F));
      } else if (r < 8) {
        t.push_back(static_cast<char>(rng() % 2 ? 0xDE : 0xDF));
      } else {
        t.push_back(static_cast<char>('a' + rng() % 26));
      }
    }
    inputs.push_back(t);
    input += Hex(t) + "\n";
  }
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys, unicodedata
for line in sys.stdin:
    s = bytes.fromhex(line.strip()).decode('cp932')
    s = unicodedata.normalize('NFKC', s)
    # A mark that found no letter stays a spacing mark.
    s = s.replace('\u3099', '\u309b').replace('\u309a', '\u309c')
    # Letters JIS X 0208 lacks keep their mark apart.
    s = s.replace('\u30fa', '\u30f2\u309b').replace('\u30f7', '\u30ef\u309b')
    print(s.encode('iso2022_jp').hex())
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    ByteString s;
    ASSERT_EQ(tw::ShiftJisToJis(s, inputs[i].c_str()), 0);
    ASSERT_EQ(Hex(s), out[i]) << Hex(inputs[i]);
  }
}

TEST(ShiftJisToJis, KnownKana) {
  ByteString s;
  ASSERT_EQ(tw::ShiftJisToJis(s, "\xB6\xDE\xCA\xDF\xB3\xDE\xB1\xDE"), 0);
  // ga, pa, vu, a + separate voiced mark
  EXPECT_EQ(Str(s), "\x1B$B%,%Q%t%\"!+\x1B(B");
}

TEST(JisToShiftJis, EscapesAndHostileInput) {
  ByteString s;
  ASSERT_EQ(tw::JisToShiftJis(s, "\x1B$B4A\x1B(Ba\x1B$@;z\nb"), 0);
  EXPECT_EQ(Str(s),
            "\x8A\xBF"
            "a\x8E\x9A\nb");
  s.Reset();
  ASSERT_EQ(tw::JisToShiftJis(s, "\x1BK4A\x1BHx"), 0);  // ESC K in, any other escape out
  EXPECT_EQ(Str(s), "\x8A\xBFx");
  s.Reset();
  ASSERT_EQ(tw::JisToShiftJis(s, "\x1B(I6^"), 0);  // JIS X 0201 katakana
  EXPECT_EQ(Str(s), "\xB6\xDE");
  for (const char* cut : {"\x1B", "\x1B$", "\x1B(", "\x1B$B4", "\x1B$B\x1B"}) {
    s.Reset();
    EXPECT_EQ(tw::JisToShiftJis(s, cut), 0);
  }
  s.Reset();
  ASSERT_EQ(tw::ShiftJisToJis(s, "a\x88"), 0);  // a lead byte with no trail
  EXPECT_EQ(Str(s), "a\x88");
}

// ---------------------------------------------------------------- Punycode and IDN

std::string PunyEncode(const std::u16string& w) {
  char buf[512];
  int len = sizeof buf;
  if (tw::PunycodeEncode(w.data(), static_cast<int>(w.size()), buf, &len) != 0) return "!";
  return std::string(buf, len);
}

TEST(Punycode, Rfc3492Samples) {
  // (A) Arabic (Egyptian) and (L) from the RFC's sample strings.
  std::u16string arabic =
      u"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634"
      u"\u0639\u0631\u0628\u064A\u061F";
  EXPECT_EQ(PunyEncode(arabic), "egbpdaj6bu4bxfgehfvwxn");
  std::u16string l = u"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F";
  EXPECT_EQ(PunyEncode(l), "3B-ww4c5e180e575a65lsy2b");
  char16_t out[64];
  int n = 64;
  ASSERT_EQ(tw::PunycodeDecode("3B-ww4c5e180e575a65lsy2b", 24, out, &n), 0);
  EXPECT_EQ(std::u16string(out, n), l);
}

TEST(Punycode, AgainstPython) {
  std::mt19937 rng(3492);
  std::vector<std::u16string> inputs;
  std::string input;
  for (int i = 0; i < 600; ++i) {
    std::u16string w;
    int len = 1 + static_cast<int>(rng() % 12);
    for (int k = 0; k < len; ++k) {
      int r = static_cast<int>(rng() % 6);
      uint32_t c = r == 0   ? 'a' + rng() % 26
                   : r == 1 ? 0xE0 + rng() % 0x20
                   : r == 2 ? 0x3041 + rng() % 0x50
                   : r == 3 ? 0x1F600 + rng() % 0x40
                            : 0x4E00 + rng() % 0x5000;
      AppendUtf16(w, c);
    }
    inputs.push_back(w);
    input += Hex(w.data(), w.size() * 2) + "\n";
  }
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys, codecs
for line in sys.stdin:
    s = bytes.fromhex(line.strip()).decode('utf-16-le')
    print(codecs.encode(s, 'punycode').decode())
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    ASSERT_EQ(PunyEncode(inputs[i]), out[i]) << Hex(inputs[i].data(), inputs[i].size() * 2);
    char16_t back[64];
    int n = 64;
    ASSERT_EQ(tw::PunycodeDecode(out[i].data(), static_cast<int>(out[i].size()), back, &n), 0);
    ASSERT_EQ(std::u16string(back, n), inputs[i]);
  }
}

TEST(Punycode, HostileInput) {
  char16_t out[16];
  for (const char* bad : {"a-!", "99999999999", "-\xC3\xA9", "a-9", "\x80-b"}) {
    int n = 16;
    EXPECT_LT(tw::PunycodeDecode(bad, static_cast<int>(strlen(bad)), out, &n), 0) << bad;
  }
  // A decoded surrogate code point is refused.
  char tmp[32];
  int len = sizeof tmp;
  std::u16string lone = u"\xD800";
  ASSERT_EQ(tw::PunycodeEncode(lone.data(), 1, tmp, &len), 0);
  int n = 16;
  EXPECT_EQ(tw::PunycodeDecode(tmp, len, out, &n), tw::kPunycodeBadInput);
  // Output room is respected.
  std::u16string w = u"b\u00FCcher";
  char small[4] = {'#', '#', '#', '#'};
  len = 3;
  EXPECT_EQ(tw::PunycodeEncode(w.data(), static_cast<int>(w.size()), small, &len),
            tw::kPunycodeBigOutput);
  EXPECT_EQ(small[3], '#');
  n = 2;
  char16_t tiny[3] = {0, 0, u'#'};
  EXPECT_EQ(tw::PunycodeDecode("bcher-kva", 9, tiny, &n), tw::kPunycodeBigOutput);
  EXPECT_EQ(tiny[2], u'#');
}

TEST(IdnToAscii, AgainstPython) {
  std::vector<std::string> hosts = {
      "b\xC3\xBC"
      "cher.example",
      "m\xC3\xBCnchen.de",
      "www.\xE4\xBE\x8B\xE3\x81\x88.\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88",
      "\xE6\x97\xA5\xE6\x9C\xAC.jp",
      "plain.example.com",
      "\xCE\xB5\xCE\xBB.gr",
      "xn--already.example",
  };
  std::string input;
  for (const auto& h : hosts) input += Hex(h) + "\n";
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(R"PY(
import sys
for line in sys.stdin:
    print(bytes.fromhex(line.strip()).decode('utf-8').encode('idna').decode())
)PY",
                    input, &out);
  ASSERT_EQ(out.size(), hosts.size());
  for (size_t i = 0; i < hosts.size(); ++i) {
    ByteString s;
    ASSERT_EQ(tw::IdnToAscii(s, hosts[i].c_str()), 0) << hosts[i];
    EXPECT_EQ(Str(s), out[i]);
  }
}

TEST(IdnToAscii, SeparatorsPrefixAndBadInput) {
  ByteString s;
  // Ideographic and full-width full stops separate labels and are written as ".".
  ASSERT_EQ(tw::IdnToAscii(s,
                           "\xE4\xBE\x8B\xE3\x80\x82"
                           "com\xEF\xBC\x8E"
                           "x\xEF\xBD\xA1y"),
            0);
  EXPECT_EQ(Str(s), "xn--fsq.com.x.y");
  ASSERT_EQ(tw::IdnToAscii(s,
                           "b\xC3\xBC"
                           "cher.example.com"),
            0);
  EXPECT_EQ(Str(s), "xn--bcher-kva.example.com");
  EXPECT_EQ(tw::IdnToAscii(s, "b\xC3(.com"), tw::kErrTextConversion);
  EXPECT_EQ(tw::IdnToAscii(s, "\xC0\xAE.com"), tw::kErrTextConversion);

  ASSERT_EQ(tw::HostToAscii(s,
                            "b\xC3\xBC"
                            "cher.de",
                            true),
            0);
  EXPECT_EQ(Str(s), "xn--bcher-kva.de");
  ASSERT_EQ(tw::HostToAscii(s,
                            "b\xC3\xBC"
                            "cher.de",
                            false),
            0);
  EXPECT_EQ(Str(s),
            "b\xC3\xBC"
            "cher.de");
  ASSERT_EQ(tw::HostToAscii(s, "Host.Example", true), 0);
  EXPECT_EQ(Str(s), "Host.Example");
}

// ---------------------------------------------------------------- tokenizer and tools

TEST(Tokenizer, CutsInPlace) {
  tw::Tokenizer t;
  ASSERT_EQ(t.Set("  alpha\tbeta\r\n gamma ", -1, nullptr), 0);
  EXPECT_STREQ(t.Next(), "alpha");
  EXPECT_STREQ(t.Next(), "beta");
  EXPECT_STREQ(t.Next(), "gamma");
  EXPECT_EQ(t.status(), 0);
  EXPECT_STREQ(t.Next(), "");
  EXPECT_EQ(t.status(), tw::kTokenizerEnd);
  EXPECT_STREQ(t.Next(), "");

  t.set_skip_leading(false);
  ASSERT_EQ(t.Set("a,,b,", -1, ","), 0);
  EXPECT_STREQ(t.Next(), "a");
  EXPECT_STREQ(t.Next(), "");
  EXPECT_EQ(t.status(), 0);
  EXPECT_STREQ(t.Next(), "b");
  EXPECT_STREQ(t.Next(), "");
  EXPECT_EQ(t.status(), tw::kTokenizerEnd);

  t.set_skip_leading(true);
  ASSERT_EQ(t.Set("x y z", 3, nullptr), 0);  // only "x y"
  EXPECT_STREQ(t.Next(), "x");
  EXPECT_STREQ(t.Next(), "y");
  EXPECT_STREQ(t.Next(), "");
}

TEST(DocumentEncoding, Marks) {
  struct Case {
    std::string bytes;
    int encoding;
    int mark;
  };
  const Case cases[] = {
      {"\xEF\xBB\xBF<a/>", tw::kDocUtf8, 3},
      {std::string("\x00\x00\xFE\xFF", 4), tw::kDocUtf32Be, 4},
      {"\xFE\xFF", tw::kDocUtf16Be, 2},
      {std::string("\xFF\xFE\x00\x00", 4), tw::kDocUtf32Le, 4},
      {std::string("\xFF\xFE<\x00", 4), tw::kDocUtf16Le, 2},
      {std::string("<\x00?\x00", 4), tw::kDocUtf16Le, 0},
      {std::string("\x00<\x00?", 4), tw::kDocUtf16Be, 0},
      {"<?xml", tw::kDocUtf8, 0},
      {"", tw::kDocUtf8, 0},
  };
  for (const Case& c : cases) {
    int mark = -1;
    EXPECT_EQ(tw::DetectDocumentEncoding(c.bytes.data(), static_cast<int>(c.bytes.size()), &mark),
              c.encoding)
        << Hex(c.bytes);
    EXPECT_EQ(mark, c.mark) << Hex(c.bytes);
  }
  EXPECT_STREQ(tw::DocumentEncodingName(tw::kDocUtf16Be), "UTF-16BE");
  EXPECT_STREQ(tw::DocumentEncodingName(99), "ASCII");
}

TEST(TextTools, TrimSearchSplit) {
  ByteString s;
  tw::TrimToString(s, " \t\r\nab c \n");
  EXPECT_EQ(Str(s), "ab c");
  tw::TrimToString(s, "   ");
  EXPECT_EQ(s.length(), 0);
  tw::TrimToString(s, nullptr);
  EXPECT_EQ(s.length(), 0);

  const char* hay = "Content-Type: text";
  EXPECT_EQ(tw::StrIStr(hay, "TYPE"), hay + 8);
  EXPECT_EQ(tw::StrIStr(hay, "types"), nullptr);
  EXPECT_EQ(tw::StrIStr("", ""), nullptr);
  EXPECT_EQ(tw::StrStr(hay, ""), hay);
  EXPECT_EQ(tw::StrNICmp("HeLLo", "hello world", 5), 0);
  EXPECT_NE(tw::StrNICmp("abc", "abd", 3), 0);
  EXPECT_EQ(tw::StrNICmp("ab", "AB", 10), 0);  // stops at the NUL

  char text[] = "name=value=more";
  char* rest = tw::SplitAtChar(text, '=');
  EXPECT_STREQ(text, "name");
  EXPECT_STREQ(rest, "value=more");
  EXPECT_EQ(tw::SplitAtChar(text, ';'), nullptr);

  EXPECT_TRUE(tw::HasNonAscii("a\xC3\xA9"));
  EXPECT_TRUE(tw::IsAllAscii(""));
  EXPECT_TRUE(tw::IsBase64Char('/'));
  EXPECT_FALSE(tw::IsBase64Char('-'));
  EXPECT_TRUE(tw::IsBase64Space('\t'));
}

TEST(TextTools, FormatGuidAgainstPython) {
  uint8_t guid[16];
  for (int i = 0; i < 16; ++i) guid[i] = static_cast<uint8_t>(i * 17 + 3);
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(
      "import sys, uuid\nprint(uuid.UUID(bytes_le=bytes.fromhex(sys.stdin.read().strip())))\n",
      Hex(guid, 16) + "\n", &out);
  ASSERT_EQ(out.size(), 1u);
  ByteString s;
  ASSERT_EQ(tw::FormatGuid(s, guid), 0);
  EXPECT_EQ(Str(s), out[0]);
}

struct NoCase {
  const char* a;
  const char* b;
  bool equal;
};

class EqualsNoCaseTest : public ::testing::TestWithParam<NoCase> {};

TEST_P(EqualsNoCaseTest, FoldsAsciiLettersOnlyAndComparesWholeTexts) {
  EXPECT_EQ(tw::EqualsNoCase(GetParam().a, GetParam().b), GetParam().equal);
  EXPECT_EQ(tw::EqualsNoCase(GetParam().b, GetParam().a), GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, EqualsNoCaseTest,
    ::testing::Values(NoCase{"Content-Length", "content-LENGTH", true}, NoCase{"", "", true},
                      NoCase{"abc", "abcd", false}, NoCase{"abc", "", false},
                      NoCase{"[", "{", false}, NoCase{"@", "`", false},
                      NoCase{"\xC3\x84", "\xC3\xA4", false}, NoCase{"\xC3\x84", "\xC3\x84", true}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.a, p.b, i.index); });

}  // namespace
