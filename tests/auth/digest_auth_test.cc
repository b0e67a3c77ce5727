// Digest answers: the published examples, the qop choice, the counter and refused input.
#include <gtest/gtest.h>

#include <string>

#include "auth/digest_auth.h"
#include "tests/support/case_name.h"

namespace {

struct Example {
  const char* name;
  const char* challenge;
  const char* user;
  const char* password;
  const char* method;
  const char* uri;
  const char* body;
  const char* cnonce;
  bool include_algorithm;
  const char* expected;  // the whole header value
};

class DigestExamples : public ::testing::TestWithParam<Example> {};

TEST_P(DigestExamples, GiveThePublishedAnswer) {
  const Example& e = GetParam();
  tw::DigestAuth d;
  d.SetFixedCnonce(e.cnonce);
  ASSERT_EQ(d.ParseChallenge(e.challenge), 0);
  d.SetCredentials(e.user, e.password);
  d.SetRequest(e.method, e.uri, e.body, static_cast<int>(std::string(e.body).size()));
  tw::ByteString value;
  ASSERT_EQ(d.BuildAuthorization(&value, e.include_algorithm), 0) << d.error_text();
  EXPECT_STREQ(value.c_str(), e.expected);
}

constexpr char kRfc2617[] =
    "realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
    "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"";
constexpr char kRfc7616[] =
    "realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=MD5, "
    "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
    "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"";

INSTANTIATE_TEST_SUITE_P(
    All, DigestExamples,
    ::testing::Values(
        Example{"rfc2617", kRfc2617, "Mufasa", "Circle Of Life", "GET", "/dir/index.html", "",
                "0a4f113b", false,
                "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
                "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
                "qop=\"auth\", nc=00000001, cnonce=\"0a4f113b\", "
                "response=\"6629fae49393a05397450978507c4ef1\", "
                "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""},
        Example{"rfc7616_md5", kRfc7616, "Mufasa", "Circle of Life", "GET", "/dir/index.html",
                "", "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", true,
                "Digest username=\"Mufasa\", realm=\"http-auth@example.org\", "
                "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", uri=\"/dir/index.html\", "
                "algorithm=\"MD5\", qop=\"auth\", nc=00000001, "
                "cnonce=\"f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ\", "
                "response=\"8ca523f5e9506fed4657c9700eebdbec\", "
                "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\""},
        // Without qop: response over nonce and HA2 only (RFC 2069 form).
        Example{"no_qop", "realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"",
                "Mufasa", "CircleOfLife", "GET", "/dir/index.html", "", "", false,
                "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
                "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
                "response=\"1949323746fe6a43ef61f9606e7febea\""},
        // MD5-sess without qop: HA1 over an empty cnonce (checked with hashlib).
        Example{"md5_sess_no_qop",
                "realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", algorithm=MD5-sess",
                "Mufasa", "CircleOfLife", "GET", "/dir/index.html", "", "", true,
                "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
                "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", algorithm=\"MD5-sess\", "
                "response=\"c122499fd63300cfe1d6ec34f0d3c757\""},
        // A user name with '"' and '\' goes out as a quoted string.
        Example{"escaped", "realm=\"r\", nonce=\"n\"", "a\"b\\c", "p", "GET", "/", "", "", false,
                "Digest username=\"a\\\"b\\\\c\", realm=\"r\", nonce=\"n\", uri=\"/\", "
                "response=\"ec4ec15e0023e6f422a693bef1b3b82a\""}),
    [](const auto& info) { return std::string(info.param.name); });

struct QopChoice {
  const char* offered;
  const char* chosen;
};

class DigestQop : public ::testing::TestWithParam<QopChoice> {};

TEST_P(DigestQop, IsChosenFromTheOffer) {
  tw::DigestAuth d;
  d.ParseChallenge((std::string("nonce=\"n\", qop=\"") + GetParam().offered + "\"").c_str());
  EXPECT_STREQ(d.qop().c_str(), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(All, DigestQop,
                         ::testing::Values(QopChoice{"auth,auth-int", "auth"},
                                           QopChoice{"auth-int", "auth-int"},
                                           QopChoice{"auth-int,auth", "auth-int"},
                                           QopChoice{"auth", "auth"}, QopChoice{"", ""}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.offered); });

TEST(DigestCounter, CountsRequestsUnderOneChallengeAndCnoncesAreFresh) {
  tw::DigestAuth d;
  d.ParseChallenge("realm=\"r\", nonce=\"n\", qop=\"auth\", algorithm=MD5-SESS");
  d.SetCredentials("u", "p");
  d.SetRequest("GET", "/", "", 0);
  tw::ByteString first, second;
  ASSERT_EQ(d.BuildAuthorization(&first), 0);
  ASSERT_EQ(d.BuildAuthorization(&second), 0);
  const std::string cnonce = d.cnonce().c_str();
  EXPECT_EQ(cnonce.size(), 16u);
  EXPECT_NE(std::string(first.c_str()).find("nc=00000001, cnonce=\"" + cnonce), std::string::npos);
  EXPECT_NE(std::string(second.c_str()).find("nc=00000002, cnonce=\"" + cnonce), std::string::npos);
  tw::DigestAuth other;
  other.ParseChallenge("nonce=\"n\", qop=\"auth\"");
  EXPECT_STRNE(other.cnonce().c_str(), cnonce.c_str());
}

struct Refusal {
  const char* challenge;
  const char* user;
  const char* text;
};

class DigestRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(DigestRefusals, AreErrorsNotWrongAnswers) {
  tw::DigestAuth d;
  d.ParseChallenge(GetParam().challenge);
  d.SetCredentials(GetParam().user, "p");
  d.SetRequest("GET", "/", "", 0);
  tw::ByteString value;
  EXPECT_EQ(d.BuildAuthorization(&value), tw::kErrDigestRefused);
  EXPECT_NE(std::string(d.error_text()).find(GetParam().text), std::string::npos);
  EXPECT_STREQ(value.c_str(), "");
}

INSTANTIATE_TEST_SUITE_P(
    All, DigestRefusals,
    ::testing::Values(Refusal{"nonce=\"n\", algorithm=SHA-256", "u", "unsupported algorithm"},
                      Refusal{"nonce=\"n\", algorithm=\"token\"", "u", "unsupported algorithm"},
                      Refusal{"nonce=\"n\", qop=\"other\"", "u", "unknown qop"},
                      Refusal{"nonce=\"n\"", "u\r\nX-Injected: 1", "line break"},
                      Refusal{"nonce=\"n\"", "u\n", "line break"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.text, i.index); });

}  // namespace
