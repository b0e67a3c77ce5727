#include <gtest/gtest.h>

#include <string>

#include "crypto/pubkey/dsa_key_data.h"
#include "crypto/pubkey/pk_algorithm.h"
#include "crypto/pubkey/rsa_key_data.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

struct SizeCase {
  int kind;
  int bits;
  bool ok;
};

class KeySizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(KeySizeTest, RuleDecidesAndFailureKeepsOldSize) {
  const SizeCase& c = GetParam();
  KeySizeSpec spec(c.kind, 777);
  EXPECT_EQ(spec.SetBits(c.bits), c.ok ? kOk : kErrKeySize);
  EXPECT_EQ(spec.bits(), c.ok ? c.bits : 777);
}

INSTANTIATE_TEST_SUITE_P(Rules, KeySizeTest,
                         ::testing::Values(SizeCase{0, 1032, true}, SizeCase{0, 1030, false},
                                           SizeCase{0, 383, false}, SizeCase{0, 4096, true},
                                           SizeCase{0, 4104, false}, SizeCase{0, 384, true},
                                           SizeCase{1, 1088, true}, SizeCase{1, 1056, false},
                                           SizeCase{2, 512, true}, SizeCase{3, 128, true},
                                           SizeCase{3, 256, false}, SizeCase{9, 0, true},
                                           SizeCase{9, 8, false}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName("kind", p.kind, p.bits, "bits"); });

std::string Str(const ByteString& s) { return std::string(s.data(), s.length()); }

struct PadCase {
  int p_len, q_len, x_len;
  int want_p, want_q, want_x;
  int want_rc = kOk;  // 200: a field wider than its slot, left as it was
};

class DsaPadTest : public ::testing::TestWithParam<PadCase> {};

TEST_P(DsaPadTest, WidthsFollowPAndQSizes) {
  const PadCase& c = GetParam();
  DsaKeyData k;
  k.P.Set(std::string(c.p_len, '\x7f').data(), c.p_len);
  k.Q.Set(std::string(c.q_len, '\x7f').data(), c.q_len);
  k.X.Set(std::string(c.x_len, '\x11').data(), c.x_len);
  ASSERT_EQ(k.PadComponents(), c.want_rc);
  EXPECT_EQ(k.P.length(), c.want_p);
  EXPECT_EQ(k.Q.length(), c.want_q);
  EXPECT_EQ(k.X.length(), c.want_x);
  EXPECT_TRUE(k.G.empty());  // absent stays absent
  EXPECT_TRUE(k.Y.empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, DsaPadTest,
                         ::testing::Values(PadCase{256, 32, 31, 256, 32, 32},
                                           PadCase{256, 28, 27, 256, 28, 28},
                                           PadCase{256, 28, 30, 256, 28, 30, 200},
                                           PadCase{128, 20, 19, 128, 20, 20},
                                           PadCase{384, 32, 31, 384, 32, 32},
                                           PadCase{255, 33, 32, 256, 33, 33},
                                           PadCase{128, 28, 27, 128, 28, 28}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName("p", p.p_len, "q", p.q_len, "x", p.x_len); });

TEST(RsaKeyDataTest, PadCopyAndPrivateRules) {
  RsaKeyData k;
  EXPECT_FALSE(k.HasPrivate());
  k.N.Set(std::string(127, '\x80').data(), 127);
  k.P.Set("\x01\x02", 2);
  k.D.Set((std::string(2, '\0') + std::string(128, '\x05')).data(), 130);
  EXPECT_FALSE(k.HasPrivate() && k.D.empty());
  EXPECT_TRUE(k.HasPrivate());
  ASSERT_EQ(k.PadComponents(), kOk);
  EXPECT_EQ(k.N.length(), 128);
  EXPECT_EQ(Str(k.N).substr(0, 2), std::string("\x00\x80", 2));
  EXPECT_EQ(k.D.length(), 128);  // leading zeros dropped
  EXPECT_EQ(Str(k.P), std::string(62, '\0') + "\x01\x02");
  EXPECT_TRUE(k.QInv.empty());
  RsaKeyData copy(k);
  EXPECT_EQ(Str(copy.D), Str(k.D));
  copy.D.Reset();
  EXPECT_FALSE(copy.HasPrivate());  // P without Q is not enough
  copy.Clear();
  EXPECT_TRUE(copy.N.empty());
  copy.N.Set(std::string(128, '\x80').data(), 128);
  copy.D.Set(std::string(129, '\x05').data(), 129);
  EXPECT_EQ(copy.PadComponents(), 200);  // a significant byte is never cut
  EXPECT_EQ(copy.D.length(), 129);
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

TEST(KeyRecordDerivedTest, CrtValuesAndDsaPublicValue) {
  RsaKeyData k;  // p = 61, q = 53, e = 17, d = 2753
  k.P.Set("\x3d", 1);
  k.Q.Set("\x35", 1);
  k.D.Set("\x0a\xc1", 2);
  ASSERT_EQ(k.CompleteCrt(), kOk);
  EXPECT_EQ(Str(k.DP), std::string("\x35", 1));  // 2753 mod 60 = 53
  EXPECT_EQ(Str(k.DQ), std::string("\x31", 1));  // 2753 mod 52 = 49
  EXPECT_EQ(Str(k.QInv), std::string("\x26", 1));  // 53 * 38 = 1 mod 61
  DsaKeyData d;  // 4^3 mod 23 = 18
  d.P.Set("\x17", 1);
  d.G.Set("\x04", 1);
  d.X.Set("\x03", 1);
  ASSERT_EQ(d.DerivePublic(), kOk);
  EXPECT_EQ(Str(d.Y), std::string("\x12", 1));
}

}  // namespace
}  // namespace tw
