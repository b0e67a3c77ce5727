#include "foundation/byte_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>

#include "platform/codepage.h"
#include "platform/heap.h"

namespace tw {
namespace {

template <int N>
std::string Str(const InlineString<N>& s) {
  return std::string(s.data(), static_cast<size_t>(s.length()));
}

// Every string must keep its NUL, its inline/heap split and its capacity rule.
template <int N>
void CheckShape(const InlineString<N>& s) {
  ASSERT_GE(s.length(), 0);
  ASSERT_EQ(s.data()[s.length()], 0);
  ASSERT_GE(s.capacity(), s.length());
  if (s.length() <= N) {
    ASSERT_FALSE(s.OnHeap());
    ASSERT_EQ(s.capacity(), N);
  } else {
    ASSERT_TRUE(s.OnHeap());
  }
}

TEST(ByteStringTest, CapacityStepsWhileAppendingOneByte) {
  ByteString s;
  for (int i = 1; i <= 300; ++i) {
    ASSERT_EQ(s.AppendByte('a' + i % 26), 0);
    int want = i <= 99 ? 99 : i <= 150 ? 150 : i <= 226 ? 226 : 340;
    ASSERT_EQ(s.capacity(), want) << "at length " << i;
    ASSERT_EQ(s.OnHeap(), i > 99);
  }
}

// Reserving keeps the bytes and makes appends up to the size free of allocations; a failed
// reserve changes nothing.
TEST(ByteStringTest, ReserveKeepsBytesAndTakesOneBlock) {
  ByteString s;
  const std::string head(200, 'h');
  ASSERT_EQ(s.Set(head.data(), 200), 0);
  ASSERT_EQ(s.Reserve(100000), 0);
  EXPECT_EQ(s.capacity(), 100000);
  EXPECT_EQ(std::string(s.c_str()), head);
  const long before = win::HeapAllocCount();
  for (int i = 0; i < 99800; ++i) ASSERT_EQ(s.AppendByte('x'), 0);
  EXPECT_EQ(win::HeapAllocCount(), before);
  EXPECT_EQ(s.Reserve(50), 0);
  EXPECT_EQ(s.capacity(), 100000);
  win::HeapFailAfter(1);
  EXPECT_EQ(s.Reserve(200000), 200);
  win::HeapFailAfter(0);
  EXPECT_EQ(s.capacity(), 100000);
  EXPECT_EQ(s.length(), 100000);
  EXPECT_EQ(std::string(s.c_str(), 200), head);
}

TEST(ByteStringTest, ShrinkMovesBackInlineOnlyAtTheInlineSize) {
  ByteString s;
  ASSERT_EQ(s.Resize(100), 0);
  EXPECT_EQ(s.capacity(), 150);
  std::memset(s.data(), 'q', 100);
  ASSERT_EQ(s.Resize(120), 0);
  EXPECT_EQ(s.capacity(), 150);
  EXPECT_TRUE(s.OnHeap());
  ASSERT_EQ(s.Resize(99), 0);
  EXPECT_FALSE(s.OnHeap());
  EXPECT_EQ(s.capacity(), 99);
  EXPECT_EQ(Str(s), std::string(99, 'q'));

  ShortString t;
  ASSERT_EQ(t.SetText("123456789012345678901"), 0);  // 21 bytes
  EXPECT_EQ(t.capacity(), 31);
  t.PopBack();
  EXPECT_FALSE(t.OnHeap());
  EXPECT_EQ(t.capacity(), 20);
}

TEST(ByteStringTest, ResizeZeroFillsGainedBytes) {
  ByteString s("xyz");
  ASSERT_EQ(s.Resize(1), 0);
  ASSERT_EQ(s.Resize(500), 0);
  EXPECT_EQ(s.data()[0], 'x');
  for (int i = 1; i < 500; ++i) ASSERT_EQ(s.data()[i], 0) << i;
}

TEST(ByteStringTest, AppendOfNothingChangesNothing) {
  ByteString s("abc");
  EXPECT_EQ(s.Append("zz", 0), 0);
  EXPECT_EQ(s.Append(nullptr, 5), 0);
  EXPECT_EQ(s.Append("zz", -3), 0);
  EXPECT_EQ(Str(s), "abc");
}

TEST(ByteStringTest, AppendingItselfAcrossEveryGrowthPath) {
  // Inline to heap, heap reallocation, and heap to a fresh block when ZeroMemory is on.
  for (bool zero : {false, true}) {
    SetZeroMemory(zero);
    ByteString s("0123456789");
    std::string model = "0123456789";
    for (int round = 0; round < 8; ++round) {
      ASSERT_EQ(s.Append(s.data(), s.length()), 0);
      model += model;
      ASSERT_EQ(Str(s), model);
      ASSERT_EQ(s.Append(s.data() + 3, 5), 0);
      model += model.substr(3, 5);
      ASSERT_EQ(Str(s), model);
      CheckShape(s);
    }
    ASSERT_EQ(s.AppendText(s.c_str()), 0);
    model += model;
    EXPECT_EQ(Str(s), model);
  }
  SetZeroMemory(false);
}

TEST(ByteStringTest, SetFromItsOwnBytes) {
  ByteString s;
  ASSERT_EQ(s.Resize(400), 0);
  for (int i = 0; i < 400; ++i) s.data()[i] = static_cast<char>(i);
  std::string model = Str(s);
  ASSERT_EQ(s.Set(s.data() + 10, 390), 0);  // heap, shrinking in place
  model = model.substr(10, 390);
  ASSERT_EQ(Str(s), model);
  ASSERT_EQ(s.Set(s.data() + 5, 50), 0);  // heap to inline
  model = model.substr(5, 50);
  ASSERT_EQ(Str(s), model);
  CheckShape(s);
}

TEST(ByteStringTest, LengthsThatWouldOverflowFailWithoutAllocating) {
  ByteString s("abc");
  long before = win::HeapAllocCount();
  EXPECT_EQ(s.Append("x", INT_MAX), kErrOutOfMemory);
  EXPECT_EQ(s.AppendRepeated(INT_MAX - 1, 'x'), kErrOutOfMemory);
  // n + n / 2 passes 2^31: the capacity cannot be represented.
  EXPECT_EQ(s.Resize(INT_MAX - 10), kErrOutOfMemory);
  EXPECT_EQ(s.SetData(1500000000, nullptr), kErrOutOfMemory);
  EXPECT_EQ(win::HeapAllocCount(), before);
  EXPECT_EQ(Str(s), "abc");
  CheckShape(s);
}

TEST(ByteStringTest, TrimKeepsBytesAbove0x7F) {
  ByteString s;
  const char in[] = {0x20, 0x78, static_cast<char>(0xE9)};
  s.Set(in, 3);
  s.Trim();
  EXPECT_EQ(Str(s), std::string("\x78\xE9"));

  s.SetText("\t\r\n  h\xC3\xA9llo \xE2\x82\xAC\x01\x1F ");
  s.Trim();
  EXPECT_EQ(Str(s), "h\xC3\xA9llo \xE2\x82\xAC");

  ShortString t;
  t.Set("\0\0 x \0", 6);
  t.TrimSpace();
  EXPECT_EQ(Str(t), "x");
  t.SetText("   ");
  t.Trim();
  EXPECT_EQ(t.length(), 0);
}

TEST(ByteStringTest, SearchEdges) {
  ByteString s("abcabc");
  EXPECT_EQ(s.Find("", 7), 0);
  EXPECT_EQ(s.Find("a", -1), -1);
  EXPECT_EQ(s.Find("bc", 2), 4);
  EXPECT_EQ(s.Find("c", 6), -1);
  EXPECT_EQ(s.Find("abcabcd", 0), -1);
  EXPECT_EQ(s.FindLastChar('a', 100), 3);
  EXPECT_EQ(s.FindLastChar('a', 2), 0);
  EXPECT_EQ(s.FindLastChar('a', -1), -1);
  EXPECT_EQ(s.FindChar('c', 3), 5);
  EXPECT_EQ(s.FindChar('c', 6), -1);
  EXPECT_EQ(s.FindBytes("ca", -1, 0), 2);
  EXPECT_EQ(s.FindBytes("bca", 3, 2), -1);
  EXPECT_EQ(s.FindBytes("bcd", 2, 2), 4);
  EXPECT_EQ(s.FindBytes(nullptr, 2, 0), -1);
  EXPECT_EQ(s.FindBytes("a", 0, 0), -1);
  // Matches must lie wholly inside the string, NUL included.
  EXPECT_EQ(s.FindBytes("c\0", 2, 0), -1);
  EXPECT_TRUE(s.StartsWith("abca"));
  EXPECT_FALSE(s.StartsWith("abcabca"));
  EXPECT_TRUE(s.EndsWith("cabc"));
  EXPECT_FALSE(s.EndsWith("xabcabc"));
  EXPECT_TRUE(s.Contains("ca"));
  EXPECT_TRUE(s.EqualsNoCase("ABCabc"));
  EXPECT_FALSE(s.EqualsNoCase("ABCab"));
  EXPECT_TRUE(s.EqualsBytes("abcabc", -1));
  EXPECT_FALSE(s.EqualsBytes("abcab", 5));
  ByteString embedded;
  embedded.Set("ab\0cd", 5);
  EXPECT_TRUE(embedded.EqualsBytes("ab", -1));  // text comparison stops at the NUL
  EXPECT_FALSE(embedded.EqualsBytes("ab", 2));
  EXPECT_EQ(embedded.Find("cd", 0), 3);
  EXPECT_STREQ(s.PtrAt(6), "");
  EXPECT_STREQ(s.PtrAt(-1), "");
  EXPECT_EQ(s.ByteAt(6), 0);
}

TEST(ByteStringTest, ShapeOperations) {
  ByteString s("abcdef");
  EXPECT_EQ(s.Slice(2, 100), 0);
  EXPECT_EQ(Str(s), "cdef");
  s.SetText("abcdef");
  EXPECT_EQ(s.Slice(6, 7), kErrIndexOutOfRange);
  EXPECT_EQ(s.Slice(-1, 3), kErrIndexOutOfRange);
  EXPECT_EQ(s.Slice(4, 2), 0);
  EXPECT_EQ(s.length(), 0);

  s.Set("\x12\x34", 2);
  EXPECT_EQ(s.FixLeadingZero(4), 0);
  EXPECT_EQ(Str(s), std::string("\0\x12\x34", 3));
  EXPECT_EQ(s.FixLeadingZero(2), 0);
  EXPECT_EQ(Str(s), "\x12\x34");
  s.Set("\x01\x02\x03", 3);
  s.FixLeadingZero(2);  // longer, but no leading zero to drop
  EXPECT_EQ(s.length(), 3);

  s.SetText("xxaxbxx");
  s.TrimChar('x');
  EXPECT_EQ(Str(s), "axb");
  s.SetText("AbC-zZ\xC3\x89");
  s.ToLower();
  EXPECT_EQ(Str(s), "abc-zz\xC3\x89");
  s.ToUpper();
  EXPECT_EQ(Str(s), "ABC-ZZ\xC3\x89");
  s.SetText("abcd");
  s.SwapBytePairs();
  EXPECT_EQ(Str(s), "badc");
  s.SetText("abc");
  s.SwapBytePairs();
  EXPECT_EQ(Str(s), "abc");

  s.SetText("a.b..c");
  EXPECT_EQ(s.ReplaceAllText("..", "::"), 0);
  EXPECT_EQ(Str(s), "a.b::c");
  EXPECT_EQ(s.ReplaceAllText(".", nullptr), 0);
  EXPECT_EQ(Str(s), "ab::c");
  EXPECT_EQ(s.ReplaceAllText("aaa", "b"), 0);
  EXPECT_EQ(s.ReplaceAllText("", "b"), 0);
  EXPECT_EQ(Str(s), "ab::c");
  s.SetText("aaaa");
  EXPECT_EQ(s.ReplaceAllText("aa", "aaa"), 0);  // no rescanning of the replacement
  EXPECT_EQ(Str(s), "aaaaaa");
}

TEST(ByteStringTest, NumbersAndFormat) {
  ByteString s;
  s.AppendUInt(4000000000u);
  s.AppendText(",");
  s.AppendInt(-5);
  s.AppendText(",");
  s.AppendDecimal(7);
  s.AppendText(",");
  s.AppendHex(0xBEEF);
  s.AppendText(",");
  s.AppendInt64(INT64_MIN);
  s.AppendText(",");
  s.AppendInt64(0);
  EXPECT_EQ(Str(s), "4000000000,-5,7,0xbeef,-9223372036854775808,0");
  s.SetInt64(INT64_MAX);
  EXPECT_EQ(Str(s), "9223372036854775807");

  ASSERT_EQ(s.Format("%lld|%s", static_cast<long long>(-1234567890123LL), "x"), 0);
  EXPECT_EQ(Str(s), "-1234567890123|x");
  ASSERT_EQ(s.AppendFormat("/%lld", static_cast<long long>(1) << 40), 0);
  EXPECT_EQ(Str(s), "-1234567890123|x/1099511627776");

  std::string big(3000, 'z');
  ASSERT_EQ(s.Format("%s", big.c_str()), 0);
  EXPECT_EQ(s.length(), 1023);
  ASSERT_EQ(s.AppendFormat("%s", big.c_str()), 0);
  EXPECT_EQ(s.length(), 2046);

  ShortString q;
  q.AppendQuoted("hi");
  q.AppendQuoted(nullptr);
  EXPECT_EQ(Str(q), "\"hi\"");
  q.AppendRepeated(3, '!');
  q.AppendRepeated(0, '?');
  EXPECT_EQ(Str(q), "\"hi\"!!!");
}

TEST(ByteStringTest, HexDumpLayout) {
  ByteString s;
  unsigned char bytes[18];
  for (int i = 0; i < 18; ++i) bytes[i] = static_cast<unsigned char>(0x3E + i * 5);
  ASSERT_EQ(s.AppendHexDump(bytes, 18, ">> "), 0);
  std::string want =
      std::string(">> 00000000  3E 43 48 4D 52 57 5C 61 66 6B 70 75 7A 7F 84 89    >CHMRW\\afkpuz...\r\n") +
      ">> 00000010  8E 93 " + std::string(14 * 3 + 3, ' ') + ".." + std::string(14, ' ');
  EXPECT_EQ(Str(s), want);
  s.Reset();
  ASSERT_EQ(s.AppendHexDump("AB", -1, ""), 0);
  EXPECT_EQ(Str(s), "00000000  41 42 " + std::string(14 * 3, ' ') + "   AB" + std::string(14, ' '));
  s.Reset();
  ASSERT_EQ(s.AppendHexDump(nullptr, 5, ""), 0);
  ASSERT_EQ(s.AppendHexDump(bytes, 0, ""), 0);
  EXPECT_EQ(s.length(), 0);
}

TEST(ByteStringTest, ZeroMemoryWipesTheInlineAreaOnReset) {
  InlineBuffer30 b;
  b.Set("0123456789012345678901234567890", 30);
  b.Reset();
  // Without the switch only the first, second and last bytes are cleared.
  EXPECT_EQ(b.data()[5], '5');
  b.Set("0123456789012345678901234567890", 30);
  SetZeroMemory(true);
  b.Reset();
  SetZeroMemory(false);
  for (int i = 0; i <= 30; ++i) ASSERT_EQ(b.data()[i], 0) << i;
}

TEST(ByteStringTest, MoveTakesTheHeapBlock) {
  ByteString a;
  a.AppendRepeated(300, 'm');
  const char* block = a.data();
  ByteString b(static_cast<ByteString&&>(a));
  EXPECT_EQ(b.data(), block);
  EXPECT_EQ(a.length(), 0);
  EXPECT_FALSE(a.OnHeap());
  ByteString c("short");
  c = static_cast<ByteString&&>(b);
  EXPECT_EQ(c.length(), 300);
  ByteString d = ByteString::FromString(c);
  EXPECT_TRUE(d.Equals(c));
  EXPECT_NE(d.data(), c.data());
}

TEST(ByteStringTest, WideText) {
  ByteString s;
  ASSERT_EQ(s.SetWide(u"ab", 1252), 0);
  ASSERT_EQ(s.length(), 3);
  EXPECT_EQ(std::string(s.data(), 3), std::string("ab\0", 3));
  ASSERT_EQ(s.SetWide(nullptr, 65001), 0);
  EXPECT_EQ(s.length(), 1);
  ASSERT_EQ(s.SetWide(u"\u00e9\u20ac", 65001), 0);
  EXPECT_EQ(std::string(s.data(), s.length()), std::string("\xC3\xA9\xE2\x82\xAC\0", 6));
  EXPECT_EQ(s.SetWide(u"ab", 54321), kErrTextConversion);  // no such code page

  ASSERT_EQ(s.SetWideN(u"\u00e9\u00e8xyz", 2, 1252), 0);
  EXPECT_EQ(Str(s), "\xE9\xE8");
  ASSERT_EQ(s.SetWideN(u"abc", 0, 1252), 0);
  EXPECT_EQ(s.length(), 0);
  EXPECT_STREQ(s.SetWideText(u"hey", 65001), "hey");

  ASSERT_EQ(s.SetWideFromText("a\xC3\xA9", 65001), 0);
  ASSERT_EQ(s.length(), 6);
  EXPECT_EQ(s.wide()[0], u'a');
  EXPECT_EQ(s.wide()[1], u'\u00e9');
  EXPECT_EQ(s.wide()[2], 0);

  // A long text converted from the string's own bytes.
  std::string longtext(500, 'w');
  s.SetText(longtext.c_str());
  ASSERT_EQ(s.SetWideFromText(s.c_str(), 65001), 0);
  EXPECT_EQ(s.length(), 1002);
  EXPECT_EQ(s.wide()[499], u'w');

  ShortString t;
  ASSERT_EQ(t.SetWide(u"a longer text than twenty bytes", 20127), 0);
  EXPECT_EQ(t.length(), 32);
}

TEST(ByteStringTest, DualTextRoundTrip) {
  DualText d;
  const char16_t* w = d.SetAndWiden("gr\xC3\xBC\xC3\x9F", 65001);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::u16string(w), u"gr\u00fc\u00df");
  EXPECT_EQ(d.wide().length(), 10);
  EXPECT_STREQ(d.ToMultiByte(65001), "gr\xC3\xBC\xC3\x9F");

  // Only the UTF-16 form held: the text is made from it on demand.
  d.text().Reset();
  EXPECT_STREQ(d.ToMultiByte(1252), "gr\xFC\xDF");

  d.SetMultiByte("");
  w = d.ToWide(65001);
  EXPECT_EQ(w[0], 0);
  EXPECT_EQ(d.wide().length(), 2);
}

TEST(ByteStringTest, WordArrayFill) {
  WordArray a(0xDEADBEEF);
  EXPECT_EQ(a.GetAt(0), 0xDEADBEEFu);
  ASSERT_EQ(a.Resize(3), 0);
  EXPECT_EQ(a.GetAt(2), 0xDEADBEEFu);
  a.SetAt(1, 7);
  a.SetAt(3, 9);  // out of range: ignored
  ASSERT_EQ(a.Append(11), 0);
  EXPECT_EQ(a.Count(), 4);
  EXPECT_EQ(a.GetAt(1), 7u);
  EXPECT_EQ(a.GetAt(3), 11u);
  EXPECT_EQ(a.GetAt(-1), 0xDEADBEEFu);
  ASSERT_EQ(a.Resize(1), 0);
  ASSERT_EQ(a.Resize(40), 0);
  EXPECT_EQ(a.GetAt(1), 0xDEADBEEFu);
  EXPECT_EQ(a.GetAt(39), 0xDEADBEEFu);
}

// Random operation sequences against std::string, for every inline size.
template <typename T>
class InlineStringModelTest : public ::testing::Test {};

using InlineTypes = ::testing::Types<ByteString, ShortString, InlineBuffer30, InlineBuffer50,
                                     InlineBuffer1024, InlineBuffer4096, InlineBuffer16K>;
TYPED_TEST_SUITE(InlineStringModelTest, InlineTypes);

TYPED_TEST(InlineStringModelTest, MatchesStdString) {
  constexpr int kN = TypeParam::kInline;
  std::mt19937 rng(kN * 7919 + 1);
  auto rnd = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int max_len = kN * 4 + 64;
  auto random_bytes = [&](int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
      int pick = rnd(0, 9);
      out.push_back(pick == 0 ? ' ' : pick == 1 ? '\0' : pick == 2 ? '\xE9' : 'a' + rnd(0, 3));
    }
    return out;
  };

  // The large inline sizes are slow to copy: fewer steps keep the run short.
  const int steps = kN >= 4096 ? 500 : 2500;
  for (int run = 0; run < 6; ++run) {
    TypeParam s;
    std::string m;
    int cap = kN;
    for (int step = 0; step < steps; ++step) {
      const int op = rnd(0, 17);
      const int len = static_cast<int>(m.size());
      switch (op) {
        case 0: {
          std::string b = random_bytes(rnd(0, max_len));
          ASSERT_EQ(s.Set(b.data(), static_cast<int>(b.size())), 0);
          m = b;
          break;
        }
        case 1: {
          std::string b = random_bytes(rnd(0, kN / 2 + 8));
          ASSERT_EQ(s.Append(b.data(), static_cast<int>(b.size())), 0);
          m += b;
          break;
        }
        case 2: {
          if (len == 0 || len > max_len) break;
          int off = rnd(0, len - 1), n = rnd(1, len - off);
          ASSERT_EQ(s.Append(s.data() + off, n), 0);
          m += m.substr(off, n);
          break;
        }
        case 3: {
          if (len == 0) break;
          int off = rnd(0, len - 1), n = rnd(0, len - off);
          ASSERT_EQ(s.Set(s.data() + off, n), 0);
          m = m.substr(off, n);
          break;
        }
        case 4: {
          int n = rnd(0, max_len);
          ASSERT_EQ(s.Resize(n), 0);
          m.resize(n, '\0');
          break;
        }
        case 5:
          s.PopBack();
          if (!m.empty()) m.pop_back();
          break;
        case 6: {
          int n = rnd(-2, len + 3);
          s.EraseFront(n);
          if (n > 0) m.erase(0, std::min<size_t>(n, m.size()));
          break;
        }
        case 7: {
          int from = rnd(-1, len + 1), to = rnd(-1, len + 5);
          int rc = s.Slice(from, to);
          if (from < 0 || to < 0 || from >= len) {
            ASSERT_EQ(rc, kErrIndexOutOfRange);
          } else {
            ASSERT_EQ(rc, 0);
            int end = std::min(to, len);
            m = end > from ? m.substr(from, end - from) : std::string();
          }
          break;
        }
        case 8: {
          s.Trim();
          size_t b = 0, e = m.size();
          while (b < e && static_cast<unsigned char>(m[b]) <= 0x20) ++b;
          while (e > b && static_cast<unsigned char>(m[e - 1]) <= 0x20) --e;
          m = m.substr(b, e - b);
          break;
        }
        case 9: {
          char c = 'a' + rnd(0, 3);
          s.TrimChar(c);
          size_t b = 0, e = m.size();
          while (b < e && m[b] == c) ++b;
          while (e > b && m[e - 1] == c) --e;
          m = m.substr(b, e - b);
          break;
        }
        case 10:
          s.ToUpper();
          for (char& c : m) c = (c >= 'a' && c <= 'z') ? c - 32 : c;
          break;
        case 11:
          s.SwapBytePairs();
          if (!m.empty() && m.size() % 2 == 0) {
            for (size_t i = 0; i < m.size(); i += 2) std::swap(m[i], m[i + 1]);
          }
          break;
        case 12: {
          int n = rnd(0, len + 2);
          ASSERT_EQ(s.FixLeadingZero(n), 0);
          if (len < n) {
            m.insert(m.begin(), '\0');
          } else if (len > n && !m.empty() && m[0] == '\0') {
            m.erase(0, 1);
          }
          break;
        }
        case 13: {
          if (len > max_len) break;
          const char* finds[] = {"a", "ab", "b a", "cc"};
          const char* repls[] = {"", "xyz", "a", nullptr};
          const char* f = finds[rnd(0, 3)];
          const char* r = repls[rnd(0, 3)];
          ASSERT_EQ(s.ReplaceAllText(f, r), 0);
          std::string fs = f, rs = r ? r : "";
          if (fs.size() <= m.size()) {
            std::string out;
            size_t pos = 0, hit;
            while ((hit = m.find(fs, pos)) != std::string::npos) {
              out += m.substr(pos, hit - pos) + rs;
              pos = hit + fs.size();
            }
            m = out + m.substr(pos);
          }
          break;
        }
        case 14: {
          int n = rnd(-1, 40);
          char b = 'a' + rnd(0, 3);
          ASSERT_EQ(s.AppendRepeated(n, static_cast<uint8_t>(b)), 0);
          if (n > 0) m.append(n, b);
          break;
        }
        case 15: {
          std::string b = random_bytes(rnd(0, 4));
          int start = rnd(-1, len + 1);
          size_t want = (start < 0 || b.empty() || start >= len) ? std::string::npos
                                                                   : m.find(b, start);
          int got = s.FindBytes(b.data(), static_cast<int>(b.size()), start);
          ASSERT_EQ(got, want == std::string::npos ? -1 : static_cast<int>(want));
          char c = 'a' + rnd(0, 3);
          size_t wc = (start < 0 || start >= len) ? std::string::npos : m.find(c, start);
          ASSERT_EQ(s.FindChar(c, start), wc == std::string::npos ? -1 : static_cast<int>(wc));
          size_t wl = start < 0 ? std::string::npos : m.rfind(c, start);
          ASSERT_EQ(s.FindLastChar(c, start), wl == std::string::npos ? -1 : static_cast<int>(wl));
          break;
        }
        case 16: {
          TypeParam copy(s);
          ASSERT_TRUE(copy.Equals(s));
          ASSERT_EQ(Str(copy), m);
          CheckShape(copy);
          s = static_cast<TypeParam&&>(copy);
          // The copy was sized afresh for its length.
          if (len > kN) cap = len + len / 2;
          break;
        }
        case 17:
          s.StripLeadingZero();
          if (!m.empty() && m[0] == '\0') m.erase(0, 1);
          break;
      }
      ASSERT_EQ(Str(s), m) << "op " << op << " step " << step;
      const int n = static_cast<int>(m.size());
      if (n <= kN) {
        cap = kN;
      } else if (n > cap) {
        cap = n + n / 2;
      }
      ASSERT_EQ(s.capacity(), cap) << "op " << op << " step " << step;
      CheckShape(s);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// Makes the k-th allocation of an operation fail for every k until it runs clean; each failure
// must report 200 and leave the string valid and (for these operations) unchanged.
template <typename Op>
void ForEachAllocationFailure(const char* what, const std::string& initial, Op op) {
  for (long k = 1; k < 50; ++k) {
    ByteString s;
    ASSERT_EQ(s.Set(initial.data(), static_cast<int>(initial.size())), 0);
    long before = win::HeapAllocCount();
    win::HeapFailAfter(k);
    int rc = op(s);
    win::HeapFailAfter(0);
    long used = win::HeapAllocCount() - before;
    CheckShape(s);
    if (used < k) {
      ASSERT_EQ(rc, 0) << what;
      return;
    }
    ASSERT_EQ(rc, kErrOutOfMemory) << what << " failing allocation " << k;
    ASSERT_EQ(Str(s), initial) << what << " failing allocation " << k;
  }
  FAIL() << what << " never ran clean";
}

TEST(ByteStringTest, AllocationFailureLeavesTheStringAsItWas) {
  const std::string small = "small text";
  const std::string large(180, 'L');
  std::string chunk(300, 'c');
  for (const std::string* init : {&small, &large}) {
    ForEachAllocationFailure("Set", *init, [&](ByteString& s) {
      return s.Set(chunk.data(), static_cast<int>(chunk.size()));
    });
    ForEachAllocationFailure("Append", *init, [&](ByteString& s) {
      return s.Append(chunk.data(), static_cast<int>(chunk.size()));
    });
    ForEachAllocationFailure("AppendSelf", *init, [&](ByteString& s) {
      return s.Append(s.data(), s.length());
    });
    ForEachAllocationFailure("Resize", *init, [&](ByteString& s) { return s.Resize(1000); });
    ForEachAllocationFailure("AppendRepeated", *init,
                             [&](ByteString& s) { return s.AppendRepeated(400, 'r'); });
    ForEachAllocationFailure("AppendHexDump", *init, [&](ByteString& s) {
      return s.AppendHexDump(chunk.data(), 200, "pre ");
    });
    ForEachAllocationFailure("ReplaceAllText", *init,
                             [&](ByteString& s) { return s.ReplaceAllText("L", "LLLL"); });
    ForEachAllocationFailure("AppendFormat", *init,
                             [&](ByteString& s) { return s.AppendFormat("%0300d", 5); });
    ForEachAllocationFailure("SetWideFromText", *init, [&](ByteString& s) {
      return s.SetWideFromText(chunk.c_str(), 65001);
    });
    SetZeroMemory(true);
    ForEachAllocationFailure("AppendZeroMemory", *init, [&](ByteString& s) {
      return s.Append(chunk.data(), static_cast<int>(chunk.size()));
    });
    SetZeroMemory(false);
  }
}

}  // namespace
}  // namespace tw
