// The AVX2 UTF-8 decoder's run over one- to three-byte text gives what the portable decoder gives,
// on such text and on such text broken in the places where its rules bite.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/case_name.h"

namespace {

struct LatinMix {
  const char* name;
  std::vector<std::string> pieces;  // drawn at random; a piece of "!" is one random byte
};

const LatinMix kMixes[] = {
    {"latin",
     {"Caf\xC3\xA9 ", "cr\xC3\xA8me ", "br\xC3\xBBl\xC3\xA9\x65", ", 20 \xE2\x82\xAC. ", "a"}},
    {"greek_cyrillic_cjk", {"\xCE\xB1\xCE\xB2", "\xD0\x96", "\xE4\xB8\xAD", "\xEF\xBF\xBD", " "}},
    {"three_byte_edges",
     {"\xE0\xA0\x80", "\xED\x9F\xBF", "\xED\xA0\x80", "\xE0\x9F\xBF", "\xEF\xBF\xBF", "x"}},
    {"broken_latin",
     {"\xC3\xA9", "caf", "\xC3", "\xA9", "\xC0\xAF", "\xE2\x82", "\xF0\x9F\x98\x80", "!"}},
};

void PrintTo(const LatinMix& mix, std::ostream* os) { *os << mix.name; }

class Utf8LatinText : public ::testing::TestWithParam<LatinMix> {
 protected:
  void TearDown() override { win::SetUtf8DecoderForTesting(-1); }
};

// Size query, exact buffer, one unit short and the strict flag, for lengths across the groups.
TEST_P(Utf8LatinText, MatchesThePortableDecoder) {
  if (win::SetUtf8DecoderForTesting(2) != 2) GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(1252);
  for (int round = 0; round < 600; ++round) {
    std::string in;
    const size_t n = 1 + rng() % (round < 100 ? 300 : 3000);
    while (in.size() < n) {
      const std::string& piece = GetParam().pieces[rng() % GetParam().pieces.size()];
      in += piece == "!" ? std::string(1, static_cast<char>(rng())) : piece;
    }
    const int size = static_cast<int>(in.size());
    auto decode = [&](int level, unsigned flags, int room, std::u16string* out) {
      win::SetUtf8DecoderForTesting(level);
      out->assign(static_cast<size_t>(room) + 40, u'\x1234');
      return win::MultiByteToWideChar(win::CP_UTF8, flags, in.data(), size,
                                      room ? out->data() : nullptr, room);
    };
    std::u16string want, got;
    const int units = decode(0, 0, 0, &want);
    ASSERT_EQ(decode(2, 0, 0, &got), units);
    for (int room : {units, units - 1}) {
      const int expect = decode(0, 0, room, &want);
      ASSERT_EQ(decode(2, 0, room, &got), expect) << room;
      ASSERT_EQ(got, want) << room;
    }
    ASSERT_EQ(decode(2, win::MB_ERR_INVALID_CHARS, 0, &got),
              decode(0, win::MB_ERR_INVALID_CHARS, 0, &want));
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, Utf8LatinText, ::testing::ValuesIn(kMixes),
                         testsupport::CaseName());

}  // namespace
