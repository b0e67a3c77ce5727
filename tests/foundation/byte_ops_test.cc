#include "foundation/byte_ops.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "foundation/text_conversion.h"
#include "tests/support/case_name.h"

namespace {

constexpr uint8_t kBytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

TEST(ByteOps, LoadsAndStoresBothByteOrders) {
  EXPECT_EQ(tw::LoadBe32(kBytes), 0x01234567u);
  EXPECT_EQ(tw::LoadLe32(kBytes), 0x67452301u);
  EXPECT_EQ(tw::LoadBe64(kBytes), 0x0123456789ABCDEFull);
  EXPECT_EQ(tw::LoadLe64(kBytes), 0xEFCDAB8967452301ull);
  uint8_t out[9] = {};
  tw::StoreBe64(out + 1, 0x0123456789ABCDEFull);  // no alignment needed
  EXPECT_EQ(std::memcmp(out + 1, kBytes, 8), 0);
  tw::StoreLe32(out, 0x67452301u);
  tw::StoreBe32(out + 4, 0x89ABCDEFu);
  EXPECT_EQ(std::memcmp(out, kBytes, 8), 0);
}

struct XorCase {
  const char* name;
  size_t n;  // across the eight-byte steps and the byte tail
};

class XorBytesTest : public ::testing::TestWithParam<XorCase> {};

TEST_P(XorBytesTest, GivesTheBytewiseXorAlsoInPlace) {
  const size_t n = GetParam().n;
  uint8_t a[40], b[40], want[40], out[40];
  for (size_t i = 0; i < n; ++i) {
    a[i] = static_cast<uint8_t>(i * 37 + 5);
    b[i] = static_cast<uint8_t>(i * 11 + 200);
    want[i] = static_cast<uint8_t>(a[i] ^ b[i]);
  }
  tw::XorBytes(out, a, b, n);
  EXPECT_EQ(std::memcmp(out, want, n), 0);
  tw::XorBytes(a, a, b, n);
  EXPECT_EQ(std::memcmp(a, want, n), 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, XorBytesTest,
                         ::testing::Values(XorCase{"empty", 0}, XorCase{"tail_only", 7},
                                           XorCase{"one_word", 8}, XorCase{"words_and_tail", 37}),
                         testsupport::CaseName{});

struct PrefixCase {
  const char* name;
  std::string_view text;
  std::string_view prefix;
  bool starts;
};

class StartsWithNoCaseTest : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(StartsWithNoCaseTest, FoldsAsciiLettersOfTheLeadingBytes) {
  EXPECT_EQ(tw::StartsWithNoCase(GetParam().text, GetParam().prefix), GetParam().starts);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StartsWithNoCaseTest,
    ::testing::Values(PrefixCase{"header_prefix", "X-MS-Meta-Name", "x-ms-meta-", true},
                      PrefixCase{"whole_text", "https=", "HTTPS=", true},
                      PrefixCase{"shorter_text", "x-ms", "x-ms-meta-", false},
                      PrefixCase{"empty_prefix", "abc", "", true},
                      PrefixCase{"punctuation_not_folded", "@bc", "`bc", false},
                      PrefixCase{"embedded_nul", std::string_view("ab\0c", 4),
                                 std::string_view("AB\0", 3), true}),
    testsupport::CaseName{});

}  // namespace
