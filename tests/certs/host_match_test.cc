// Host names against certificate names: the matchers, the splitter, and certificates made by
// openssl req -x509 -addext.
#include <gtest/gtest.h>

#include <string>

#include "certs/cert_extension.h"
#include "certs/certificate.h"
#include "certs/host_name_match.h"
#include "tests/certs/cert_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

struct MatchCase {
  const char* names;  // SAN text, or a subject text for the CN cases
  const char* host;
  bool want;
};

class SanMatchTest : public ::testing::TestWithParam<MatchCase> {};
TEST_P(SanMatchTest, Matches) {
  EXPECT_EQ(MatchHostToCertSAN(GetParam().names, GetParam().host), GetParam().want);
}
INSTANTIATE_TEST_SUITE_P(
    Host, SanMatchTest,
    ::testing::Values(MatchCase{"dns:*.zone1,ip:10.0.0.1", "w.zone1", true},
                      MatchCase{"dns:*.zone1,ip:10.0.0.1", "10.0.0.1", true},
                      MatchCase{"dns:*.zone1", "a.b.zone1", false},  // one label only
                      MatchCase{"dns:*.zone1", "zone1", false},
                      MatchCase{"DNS:Host1", "host1", true},
                      MatchCase{"dns:w*.example.org", "www.example.org", true},
                      MatchCase{"dns:*.com", "example.com", false},  // public suffix alone
                      MatchCase{"dns:*.co.uk", "example.co.uk", false},
                      MatchCase{"dns:*", "localhost", false},
                      MatchCase{"dns:xn--*.example.org", "xn--bcher-kva.example.org", false},
                      MatchCase{"dns:x*.example.org", "xn--bcher-kva.example.org", false},
                      MatchCase{"dns:*.example.org", "xn--bcher-kva.example.org", true},
                      MatchCase{"dns:a.*.example.org", "a.b.example.org", false},
                      MatchCase{"dns:*.1.0.0", "10.1.0.0", false},
                      MatchCase{"ip:0:0:0:0:0:ffff:a00:1", "10.0.0.1", false},  // v6 never v4
                      MatchCase{"ip:0:0:0:0:0:0:0:1", "::1", true},
                      MatchCase{"dns:evil.test\\,dns:victim.test", "victim.test", false},
                      MatchCase{"dns:victim.test\\00.evil.test", "victim.test", false},
                      MatchCase{"dns:host1\\", "host1", false},
                      MatchCase{"dns:host\\3", "host1", false},
                      MatchCase{"", "host1", false},
                      MatchCase{"dns:host1", "", false}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.names, p.host, i.index); });

class CnMatchTest : public ::testing::TestWithParam<MatchCase> {};
TEST_P(CnMatchTest, Matches) {
  EXPECT_EQ(MatchHostToCertCN(GetParam().names, GetParam().host), GetParam().want);
}
INSTANTIATE_TEST_SUITE_P(
    Host, CnMatchTest,
    ::testing::Values(MatchCase{"O=x, CN=host?", "host1", true},
                      MatchCase{"CN=first, CN=host1", "host1", false},
                      MatchCase{"CN=\"a, b\"", "a, b", true},
                      MatchCase{"O=x", "x", false},
                      MatchCase{"CN=*.zone1", "w.zone1", true}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.names, i.index); });

struct GlobCase {
  const char* text;
  const char* pattern;
  bool ignore_case, want;
};
class WildcardTest : public ::testing::TestWithParam<GlobCase> {};
TEST_P(WildcardTest, Matches) {
  const GlobCase& c = GetParam();
  EXPECT_EQ(WildcardMatch(c.text, c.pattern, c.ignore_case), c.want) << c.text << " " << c.pattern;
}
INSTANTIATE_TEST_SUITE_P(
    Host, WildcardTest,
    ::testing::Values(GlobCase{"abc", "a*", false, true}, GlobCase{"a.b.c", "*c", false, true},
                      GlobCase{"", "*", false, true}, GlobCase{"abc", "a?c", false, true},
                      GlobCase{"ab", "a?c", false, false}, GlobCase{"b", "[a-c]", false, true},
                      GlobCase{"b", "[c-a]", false, true}, GlobCase{"B", "[a-c]", true, false},
                      GlobCase{"b", "[a-c", false, false}, GlobCase{"*", "\\*", false, true},
                      GlobCase{"x", "\\*", false, false}, GlobCase{"ABC", "abc", true, true},
                      GlobCase{"ABC", "abc", false, false}, GlobCase{"abcd", "abc", false, false}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.text, p.pattern, i.index); });

TEST(SplitDnComponents, QuotesEscapesAndRefusals) {
  StringList parts;
  ASSERT_EQ(SplitDnComponents(" CN=\"a, b\" , O=x\\2cy,E=\\\"q\\\",", &parts), 0);
  ASSERT_EQ(parts.Count(), 3);
  EXPECT_STREQ(parts.Get(0), "CN=a, b");
  EXPECT_STREQ(parts.Get(1), "O=x,y");
  EXPECT_STREQ(parts.Get(2), "E=\"q\"");
  EXPECT_EQ(SplitDnComponents("CN=a\\", &parts), 446);
  EXPECT_EQ(SplitDnComponents("CN=a\\4", &parts), 446);
  EXPECT_EQ(SplitDnComponents("CN=a\\zz", &parts), 446);
}

// openssl's own certificates: the SAN text as read, and which hosts they name.
TEST(HostMatch, OpensslCertificates) {
  if (!testsupport::HaveProgram("openssl")) TW_REQUIRE_OR_SKIP("openssl missing");
  const std::string der = certtest::OpensslSelfSigned(
      "-subj '/O=Acme/CN=cn.example' -addext 'subjectAltName=DNS:*.zone1.example,DNS:Host1.example,"
      "IP:10.0.0.1,IP:2001:db8::1,email:a@b.example,URI:https://u.example/,RID:1.2.3.4,"
      "dirName:dir_sect'",
      "[req]\ndistinguished_name=dn\n[dn]\n[dir_sect]\nCN=x\nO=y\n");
  ASSERT_FALSE(der.empty());
  Certificate c;
  ASSERT_EQ(ParseCertificateDer(der.data(), static_cast<int>(der.size()), &c), 0);
  const CertExtension* san = nullptr;
  for (int i = 0; i < c.tbs.extensions.Count(); ++i) {
    if (c.tbs.extensions.At(i)->oid.EqualsBytes(kOidSubjectAltName, -1)) san = c.tbs.extensions.At(i);
  }
  ASSERT_NE(san, nullptr);
  ByteString text;
  ASSERT_EQ(SubjectAltNameText(san->value, true, &text), 0);
  EXPECT_STREQ(text.c_str(),
               "dns:*.zone1.example,dns:Host1.example,ip:10.0.0.1,ip:2001:db8:0:0:0:0:0:1,"
               "email:a@b.example,uri:https://u.example/,rid:1.2.3.4,dirname:CN=x\\, O=y");
  ASSERT_EQ(SubjectAltNameText(san->value, false, &text), 0);
  EXPECT_EQ(std::string(text.c_str()).rfind("*.zone1.example, Host1.example, 10.0.0.1", 0), 0u);
  ASSERT_EQ(SubjectAltNameText(san->value, true, &text), 0);
  const MatchCase hosts[] = {{"", "w.zone1.example", true},   {"", "a.w.zone1.example", false},
                             {"", "host1.example", true},     {"", "10.0.0.1", true},
                             {"", "2001:db8::1", true},       {"", "cn.example", false},
                             {"", "x", false},                {"", "10.0.0.2", false}};
  for (const MatchCase& h : hosts) EXPECT_EQ(MatchHostToCertSAN(text.c_str(), h.host), h.want) << h.host;
  EXPECT_TRUE(MatchHostToCertCN(c.tbs.subjectText.c_str(), "cn.example"));
  EXPECT_EQ(CompareValidity(c.tbs.notBefore.c_str(), c.tbs.notAfter.c_str()), 0);
}

}  // namespace
}  // namespace tw
