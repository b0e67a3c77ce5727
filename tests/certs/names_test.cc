// Distinguished names between DER and text, their normal form, the subject search and the OID
// name tables.
#include <gtest/gtest.h>

#include <string>

#include "certs/distinguished_name.h"
#include "certs/oid_names.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

std::string HexOf(const ByteString& s) {
  return testsupport::Hex(s.data(), static_cast<size_t>(s.length()));
}

// RDN { SET { SEQ { OID 2.5.4.x, string } } } in hex.
std::string Rdn(const std::string& oid_hex, int tag, const std::string& value) {
  std::string atv = "06" + oid_hex;
  char h[8];
  snprintf(h, sizeof(h), "%02x%02x", tag, static_cast<int>(value.size()));
  atv += h + testsupport::Hex(value.data(), value.size());
  auto wrap = [](const char* t, const std::string& in) {
    char l[8];
    snprintf(l, sizeof(l), "%02x", static_cast<int>(in.size() / 2));
    return std::string(t) + l + in;
  };
  return wrap("31", wrap("30", atv));
}

std::string Name(const std::string& rdns) {
  char l[8];
  snprintf(l, sizeof(l), "%02x", static_cast<int>(rdns.size() / 2));
  return "30" + std::string(l) + rdns;
}

struct DerTextCase {
  const char* name;
  std::string der_hex;
  const char* text;
};
class NameDerToTextTest : public ::testing::TestWithParam<DerTextCase> {};
TEST_P(NameDerToTextTest, Shows) {
  const std::string der = testsupport::Unhex(GetParam().der_hex);
  ByteString in, text;
  in.Set(der.data(), static_cast<int>(der.size()));
  ASSERT_EQ(NameDerToText(in, &text), 0);
  EXPECT_STREQ(text.c_str(), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(
    Names, NameDerToTextTest,
    ::testing::Values(
        DerTextCase{"comma",
                    Name(Rdn("03550403", 12, "host1") + Rdn("0355040a", 12, "Acme, Inc.") +
                         Rdn("03550406", 19, "US")),
                    "CN=host1, O=\"Acme, Inc.\", C=US"},
        DerTextCase{"quote", Name(Rdn("03550403", 12, "say \"hi\"")), "CN=\"say \\\"hi\\\"\""},
        DerTextCase{"space", Name(Rdn("03550403", 12, " x")), "CN=\" x\""},
        DerTextCase{"bmp", Name(Rdn("03550403", 30, std::string("\0h\0\xe9", 4))), "CN=h\xc3\xa9"},
        DerTextCase{"nul", Name(Rdn("03550403", 12, std::string("a\0b", 3))), "CN=a\\00b"},
        DerTextCase{"unknown", Name(Rdn("03550461", 12, "v")), "2.5.4.97=v"},
        DerTextCase{"empty", "3000", ""}),
    [](const auto& i) { return std::string(i.param.name); });

struct TextDerCase {
  const char* name;
  const char* text;
  int rc;
  const char* der_hex;
};
class NameTextToDerTest : public ::testing::TestWithParam<TextDerCase> {};
TEST_P(NameTextToDerTest, Writes) {
  DerWriter w;
  ASSERT_EQ(NameTextToDer(GetParam().text, &w), GetParam().rc);
  EXPECT_EQ(HexOf(w.output()), GetParam().der_hex);
}
INSTANTIATE_TEST_SUITE_P(
    Names, NameTextToDerTest,
    ::testing::Values(
        TextDerCase{"two", "cn=Test, o=Org", 0,
                    "301d310d300b0603550403130454657374310c300a060355040a13034f7267"},
        TextDerCase{"email_ia5", "E=a@b", 0, "30143112301006092a864886f70d0109011603614062"},
        TextDerCase{"postal", "PostalCode=1", 0, "300c310a30080603550411130131"},
        TextDerCase{"utf8_when_not_printable", "CN=a_b", 0, "300e310c300a06035504030c03615f62"},
        TextDerCase{"quoted", "O=\"A, B\"", 0, "300f310d300b060355040a1304412c2042"},
        TextDerCase{"unknown_name", "XX=1", -1, ""},
        TextDerCase{"dotted_oid", "2.5.4.97=v", 0, "300c310a30080603550461130176"},
        TextDerCase{"no_equals", "justtext", -1, ""}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(Names, NormalizeAndFind) {
  ByteString n;
  NormalizeDistinguishedName("CN=b, S=WA, EMAIL=x", &n);
  EXPECT_STREQ(n.c_str(), "CN=b,E=x,ST=WA");
  NormalizeDistinguishedName("no pairs here", &n);
  EXPECT_STREQ(n.c_str(), "");
  NormalizeDistinguishedName("2.5.4.3=z, title=\"a,b\"", &n);
  EXPECT_STREQ(n.c_str(), "CN=z,T=\"a,b\"");
  StringList subjects;
  subjects.AddText("");
  subjects.AddText("CN=alpha, O=Org");
  subjects.AddText("O=Org, CN=beta");
  EXPECT_EQ(FindSubjectIndex(subjects, "*"), 1);
  EXPECT_EQ(FindSubjectIndex(subjects, "cn=beta,o=org"), 2);
  EXPECT_EQ(FindSubjectIndex(subjects, "beta"), 2);
  EXPECT_EQ(FindSubjectIndex(subjects, "gamma"), -1);
  EXPECT_EQ(FindSubjectIndex(StringList(), "x"), -1);
}

TEST(Names, AttributeTable) {
  ByteString s;
  AttributeOidToName("2.5.4.17", &s);
  EXPECT_STREQ(s.c_str(), "PostalCode");
  ASSERT_EQ(AttributeNameToOid(" postalcode ", &s), 0);
  EXPECT_STREQ(s.c_str(), "2.5.4.17");
  EXPECT_EQ(AttributeNameToOid("NOPE", &s), -1);
}

struct OidNameCase {
  const char* (*lookup)(const char*);
  const char* oid;
  const char* want;
};
class OidNameTest : public ::testing::TestWithParam<OidNameCase> {};
TEST_P(OidNameTest, Names) { EXPECT_STREQ(GetParam().lookup(GetParam().oid), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(
    Oids, OidNameTest,
    ::testing::Values(OidNameCase{OidToName, "1.2.840.113549.1.1.4", "RSA_MD5"},
                      OidNameCase{OidToName, "1.2.840.113549.1.7.5", "RSA_digestedData"},
                      OidNameCase{OidToName, "1.2.840.113549.1.1.11", "RSA_SHA256RSA"},
                      OidNameCase{OidToName, "1.2.840.10040.4.3", "DATA_STRUCTURE"},
                      OidNameCase{OidToName, "1.2.840.10045.4.3.4", "ECDSA_SHA512"},
                      OidNameCase{OidToName, "1.2.3.4", "1.2.3.4"},
                      OidNameCase{OidToName, nullptr, ""},
                      OidNameCase{HashNameForOid, "SHA256", "SHA256"},
                      OidNameCase{HashNameForOid, "1.2.840.10045.4.1", "SHA1"},
                      OidNameCase{HashNameForOid, "2.16.840.1.101.3.4.2.4", "SHA224"},
                      OidNameCase{HashNameForOid, "", ""},
                      OidNameCase{KeyAlgorithmName, "1.3.101.110", "EdDSA"},
                      OidNameCase{KeyAlgorithmName, "1.2.840.10040.4.1", "DSA"},
                      OidNameCase{KeyAlgorithmName, "1.2.3", "Unknown"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.oid, i.index); });

}  // namespace
}  // namespace tw
