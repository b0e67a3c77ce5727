// Token descriptions of the logs: the exact text for a SPNEGO token around a Kerberos AP-REQ,
// the short forms, and hostile tokens that must not be read past their end.
#include "auth/gss_token_description.h"

#include <gtest/gtest.h>

#include "tests/auth/der_fields.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace {

using namespace dertest;

std::string ApReq() {
  W w;
  w.DerOpenConstructed(0x6E);
  w.DerOpenConstructed(0x30);
  Int(w, 0, 5);
  Int(w, 1, 14);
  w.DerOpenConstructed(0xA2);
  w.DerAppendTlv(0x03, "\x00\x20\x00\x00\x00", 5);
  w.DerCloseConstructed(false);
  w.DerOpenConstructed(0xA3);
  w.DerOpenConstructed(0x61);
  w.DerOpenConstructed(0x30);
  Int(w, 0, 5);
  w.DerOpenConstructed(0xA1);
  w.DerAppendTlv(0x1B, "TW.TEST", 7);
  w.DerCloseConstructed(false);
  w.DerOpenConstructed(0xA2);
  w.DerOpenConstructed(0x30);
  Int(w, 0, 2);
  w.DerOpenConstructed(0xA1);
  w.DerOpenConstructed(0x30);
  w.DerAppendTlv(0x1B, "HTTP", 4);
  w.DerAppendTlv(0x1B, "localhost", 9);
  Close(w, 4);
  Close(w, 3);
  w.DerOpenConstructed(0xA4);
  w.DerOpenConstructed(0x30);
  Int(w, 0, 18);
  w.DerOpenConstructed(0xA2);
  w.DerAppendTlv(0x04, "xxxx", 4);
  Close(w, 3);
  Close(w, 2);
  return Str(w);
}

std::string Gss(const char* oid, const std::string& inner) {
  W w;
  w.DerAppendOid(0x06, oid);
  w.AppendRaw(inner.data(), static_cast<int>(inner.size()));
  w.DerWrapAll(0x60);
  return Str(w);
}

std::string Spnego(const std::string& mech_token) {
  W w;
  w.DerOpenConstructed(0xA0);
  w.DerOpenConstructed(0x30);
  w.DerOpenConstructed(0xA0);
  w.DerOpenConstructed(0x30);
  w.DerAppendOid(0x06, "1.2.840.113554.1.2.2");
  Close(w, 2);
  w.DerOpenConstructed(0xA2);
  w.DerAppendTlv(0x04, mech_token.data(), static_cast<int>(mech_token.size()));
  Close(w, 3);
  return Gss("1.3.6.1.5.5.2", Str(w));
}

std::string Describe(const std::string& token, int* rc = nullptr) {
  tw::ByteString out;
  const int r = tw::DescribeGssToken(token.data(), static_cast<int>(token.size()), &out);
  if (rc != nullptr) *rc = r;
  return out.c_str();
}

TEST(GssTokenDescription, SpnegoAroundAnApReq) {
  const std::string mech = Gss("1.2.840.113554.1.2.2", std::string("\x01\x00", 2) + ApReq());
  int rc = -1;
  EXPECT_EQ(Describe(Spnego(mech), &rc),
            "Found GSS-API token:\r\n\tOID: 1.3.6.1.5.5.2\r\n\tFound SPNEGO token. Init token (NegTokenInit):\r\n"
            "\t\tFound mech types: \r\n\t\t\t1.2.840.113554.1.2.2\r\n\t\tFound mech token, length is " +
                std::to_string(mech.size()) +
                ". Kerberos KRB_AP_REQ token:\r\n\t\t\tPvno : 5\r\n\t\t\tNSG Type : AP-REQ (14)\r\n"
                "\t\t\tAPOptions: use-session-key(0) mutual-required(1) \t\t\tTicket: \r\n\t\t\t\tTkt-vno: 5\r\n"
                "\t\t\t\tRealm: TW.TEST\r\n\t\t\t\tPrincipal Name: type(2)\r\n\t\t\t\t\tName: HTTP\r\n"
                "\t\t\t\t\tName: localhost\r\n\t\t\tAuthenticator Encryption Type: 18\r\n");
  EXPECT_EQ(rc, 0);
}

struct ShortCase {
  std::string token;
  const char* tail;
};
class GssShortForms : public ::testing::TestWithParam<ShortCase> {};
TEST_P(GssShortForms, EndWhereTheyShould) {
  const std::string d = Describe(GetParam().token);
  EXPECT_EQ(d.substr(d.size() - strlen(GetParam().tail)), GetParam().tail) << d;
}
INSTANTIATE_TEST_SUITE_P(
    Forms, GssShortForms,
    ::testing::Values(ShortCase{Gss("1.2.840.113554.1.2.2", "\x01\x00"),
                                "OID: 1.2.840.113554.1.2.2\r\nUnknown token OID."},
                      ShortCase{Gss("1.3.6.1.5.5.2", std::string("\xA1\x00", 2)), "Response token (NegTokenTarg).\r\n"},
                      ShortCase{Gss("1.3.6.1.5.5.2", std::string("\xA5\x00", 2)), "Unknown token type (165).\r\n"},
                      ShortCase{Spnego(""), "length is 0. \r\n"},
                      ShortCase{Spnego(ApReq()), "Unknown mech token, OID is (none)\r\n"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.tail); });

// A first element that is no OID is refused, never read as one; no prefix or corruption of a
// real token is read past its end (ASan watches).
TEST(GssTokenDescription, HostileTokens) {
  int rc = 0;
  Describe("\x60\x03\x04\x01\x2A", &rc);
  EXPECT_NE(rc, 0);
  const std::string good = Spnego(Gss("1.2.840.113554.1.2.2", std::string("\x01\x00", 2) + ApReq()));
  for (size_t n = 0; n < good.size(); ++n) Describe(good.substr(0, n));
  const std::string noise = testsupport::RandomBytes(8000, 5);
  for (int i = 0; i < 4000; ++i) {
    std::string bad = good;
    bad[static_cast<uint8_t>(noise[i]) * 7u % bad.size()] = noise[i + 1];
    bad[static_cast<uint8_t>(noise[i + 2]) % bad.size()] ^= static_cast<char>(1 << (i % 8));
    Describe(bad);
  }
}

}  // namespace
